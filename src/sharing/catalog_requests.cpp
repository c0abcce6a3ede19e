#include "sharing/catalog_requests.h"

#include <memory>
#include <string>

#include "platform/event_log.h"
#include "platform/file_system.h"
#include "server/client_session.h"
#include "server/list_items.h"
#include "server/payload_reader.h"
#include "server/protocol.h"
#include "server/server_context.h"
#include "sharing/catalog.h"

namespace vextora {

namespace {

class CatalogItems final : public ListItems {
public:
    explicit CatalogItems(CatalogLines lines) : lines_(std::move(lines)) {}
    bool next(std::string& text) override { return lines_.next(text); }

private:
    CatalogLines lines_;
};

class FolderItems final : public ListItems {
public:
    explicit FolderItems(DirectoryReader folder) : folder_(std::move(folder)) {}
    bool next(std::string& text) override {
        while (folder_.next(entry_)) {
            // A name no length byte can carry is not listed at all.
            if (entry_.name.size() > MAX_TEXT) continue;
            text = entry_.name;
            return true;
        }
        return false;
    }

private:
    DirectoryReader folder_;
    DirectoryEntry entry_;
};

void logCatalogChange(const ClientSession& session, std::string_view event, std::string_view line,
                      bool done) {
    logEvent(event, {{"user", session.userName},
                     {"address", session.acceptedAddress()},
                     {"session", session.acceptOrder},
                     {"line", line},
                     {"result", done ? "ok" : "failed"}});
}

}  // namespace

void fileInfo(ClientSession& session, PayloadReader& payload) {
    auto field = payload.text();
    if (!field) {
        session.replyInt32(SIZE_UNAVAILABLE);
        return session.reply(0);
    }
    std::string name = untilNul(*field);
    std::string entry = session.userName + "\\" + name;
    bool shared = Catalog(session.server().files).contains(entry);

    std::uint32_t size = SIZE_UNAVAILABLE;
    // Only a logged-in caller has an own folder, and no name leaves it.
    if (session.loginState == 2 && !FileSystem::hasParentComponent(name)) {
        if (auto measured = session.server().files.measureFile(session.homeRoot + entry))
            size = *measured;
    }
    session.replyInt32(size);
    session.reply(shared ? 1 : 0);
}

void setShared(ClientSession& session, PayloadReader& payload) {
    auto field = payload.text();
    auto action = payload.byte();
    if (!field || !action) return;
    std::string name = untilNul(*field);
    if (FileSystem::hasParentComponent(name)) return;
    std::string entry = session.userName + "\\" + name;
    Catalog catalog(session.server().files);
    if (*action != 0) {
        logCatalogChange(session, "publish", entry, catalog.publish(entry));
    } else {
        logCatalogChange(session, "withdraw", entry,
                         catalog.withdraw(entry, Catalog::SERVER_TEMP, true));
    }
}

void listFiles(ClientSession& session, PayloadReader& payload) {
    auto selector = payload.byte();
    if (!selector) return session.reply(REPLY_LIST_END);
    const FileSystem& files = session.server().files;
    if (*selector != SELECT_OWN_FOLDER)
        return session.replyListing(std::make_unique<CatalogItems>(Catalog(files).lines()));
    // Only a logged-in caller has an own folder.
    if (session.loginState != 2) return session.reply(REPLY_LIST_END);
    session.replyListing(std::make_unique<FolderItems>(files.openDirectory(session.ownFolder())));
}

}  // namespace vextora
