#include "sharing/transfer_requests.h"

#include <memory>
#include <string>

#include "server/client_session.h"
#include "server/payload_reader.h"
#include "server/protocol.h"
#include "server/server_context.h"
#include "sharing/catalog.h"
#include "sharing/transfer.h"
#include "sharing/transfer_engine.h"

namespace vextora {

void startUpload(ClientSession& session, PayloadReader& payload) {
    auto field = payload.text();
    auto piece = payload.uint32();
    auto announced = payload.uint32();
    if (!field || !piece || !announced) return session.reply(REPLY_FAILED);
    std::string name = untilNul(*field);
    if (FileSystem::hasParentComponent(name) || FileSystem::namesUploadTemporary(name))
        return session.reply(REPLY_FAILED);

    ServerContext& server = session.server();
    server.files.makeDirectory(session.ownFolder());  // one level; an existing folder is fine
    std::string target = server.files.nativePath(session.ownFolder() + "\\" + name);
    auto transfer = Transfer::upload(server.poller, target, *piece, *announced);
    session.state = SessionState::ReceivingFile;
    server.transfers.start(session.acceptOrder, std::move(transfer),
                           {session.userName, session.acceptedAddress(), name, target});
}

void startDownload(ClientSession& session, PayloadReader& payload) {
    auto field = payload.text();
    auto piece = payload.uint32();
    auto selector = payload.byte();
    if (!field || !piece || !selector) return session.reply(REPLY_FAILED);
    std::string name = untilNul(*field);

    ServerContext& server = session.server();
    std::string path;
    if (!FileSystem::hasParentComponent(name)) {
        if (*selector == SELECT_OWN_FOLDER) {
            path = session.ownFolder() + "\\" + name;
        } else if (Catalog(server.files).contains(name)) {
            // Only a catalog line is downloadable; anything else looks missing.
            path = session.homeRoot + name;
        }
    }
    SourceFile source;
    std::uint32_t size = SIZE_UNAVAILABLE;
    if (!path.empty() && source.open(server.files.nativePath(path))) {
        if (source.size() < SIZE_UNAVAILABLE)
            size = static_cast<std::uint32_t>(source.size());
        else
            source.close();
    }
    session.replyInt32(size);
    session.state = SessionState::SendingFile;
    server.transfers.start(session.acceptOrder,
                           Transfer::download(server.poller, std::move(source), *piece, size),
                           {session.userName, session.acceptedAddress(), name,
                            path.empty() ? std::string() : server.files.nativePath(path)});
}

}  // namespace vextora
