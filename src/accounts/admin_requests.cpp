#include "accounts/admin_requests.h"

#include <string>

#include "server/client_list.h"
#include "server/client_session.h"
#include "server/payload_reader.h"
#include "server/protocol.h"
#include "server/server_context.h"

namespace vextora {

void listUsers(ClientSession& session, PayloadReader&) {
    const ClientList& clients = session.server().clients;
    for (std::size_t index = 0; index < clients.size(); ++index)
        session.replyListItem(clients.at(index).userName);
    session.reply(REPLY_LIST_END);
}

void sendUserInfo(ClientSession& session, PayloadReader& payload) {
    auto field = payload.text();
    if (!field) return session.reply(REPLY_FAILED);
    ClientSession* found = session.server().clients.findByName(untilNul(*field));
    if (found == nullptr) return session.reply(REPLY_BAD_NAME);

    UserInfoSnapshot info = found->snapshot();
    session.reply(REPLY_OK);
    session.replyText(info.peerAddress);
    session.replyInt32(static_cast<std::uint32_t>(info.sharedFileCount));
    session.replyInt32(info.connectedMs);
    session.reply(info.direction);
    if (info.direction == DIRECTION_NONE) return;
    session.replyInt32(info.rateKBps);
    session.replyInt32(info.transferSize);
    session.replyInt32(info.transferDone);
}

}  // namespace vextora
