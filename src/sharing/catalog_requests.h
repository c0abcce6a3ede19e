// The catalog requests: file information, publish and withdraw, listings.
// Each reads its payload through the reader and answers on the session.
#pragma once

namespace vextora {

class ClientSession;
class PayloadReader;

// REQ_FILE_INFO: name. Answers the size (4 bytes, FF FF FF FF when the file
// cannot be measured) and 1 when the catalog holds the caller's line for it.
void fileInfo(ClientSession& session, PayloadReader& payload);
// REQ_SET_SHARED: name, action. Non-zero publishes the caller's line, 0
// withdraws every equal line. Never answers.
void setShared(ClientSession& session, PayloadReader& payload);
// REQ_LIST_FILES: selector. 24 lists the caller's own folder, anything else
// the catalog: 16, length, name per entry, then 17. The folder or catalog is
// read as the client takes the reply, each entry once.
void listFiles(ClientSession& session, PayloadReader& payload);

}  // namespace vextora
