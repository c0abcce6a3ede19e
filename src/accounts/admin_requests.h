// The administrator's queries about connected clients. Dispatch admits them
// only for an administrator session.
#pragma once

namespace vextora {

class ClientSession;
class PayloadReader;

// REQ_LIST_USERS: 16, length, userName for every session in accept order; 17.
void listUsers(ClientSession& session, PayloadReader& payload);
// REQ_USER_INFO: name, matched exactly. 18, address, shared-file count,
// connected time, direction, and during a transfer its rate, size and bytes
// done; 21 when no session has the name.
void sendUserInfo(ClientSession& session, PayloadReader& payload);

}  // namespace vextora
