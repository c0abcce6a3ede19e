// The account requests: login, account creation, and the own-folder rename
// and delete. Each reads its payload through the reader and answers with one
// status byte on the session.
#pragma once

namespace vextora {

class ClientSession;
class PayloadReader;

// REQ_LOGIN: name, password. ADMIN checks adminpass.cfg, GUEST takes any
// password, other names the account file. 18, 21 or 22; a 21 or 22 to an
// address that keeps failing is held until the login throttle lets it go.
void login(ClientSession& session, PayloadReader& payload);
// REQ_CREATE_ACCOUNT: name, password. 18 created, 21 refused, 19 not stored.
void createAccount(ClientSession& session, PayloadReader& payload);
// REQ_RENAME_FILE: old name, new name, in the caller's own folder; never
// replaces an existing entry. 18 or 19.
void renameOwnFile(ClientSession& session, PayloadReader& payload);
// REQ_DELETE_FILE: name of a file in the caller's own folder. 18 or 19.
void deleteOwnFile(ClientSession& session, PayloadReader& payload);

}  // namespace vextora
