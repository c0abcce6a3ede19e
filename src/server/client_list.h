// ClientList: the connected sessions, owned, in accept order.
//
// A session is created only by the accept step and destroyed only here: when
// its poll returns false, when it is kicked by name, or at shutdown. Removing
// one shifts the later ones down, so the order of the others never changes.
// The console holds names, never sessions, and looks a name up again for
// each action.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

#include "server/client_session.h"

namespace vextora {

class WindowSystem;

class ClientList {
public:
    // The window shows the count; it must outlive the list.
    explicit ClientList(WindowSystem& window) : window_(window) {}
    ~ClientList();
    ClientList(const ClientList&) = delete;
    ClientList& operator=(const ClientList&) = delete;

    std::size_t size() const { return sessions_.size(); }
    bool empty() const { return sessions_.empty(); }
    ClientSession& at(std::size_t index) const { return *sessions_[index]; }
    // The first session in accept order whose userName is exactly `name`.
    ClientSession* findByName(std::string_view name) const;

    void append(std::unique_ptr<ClientSession> session);
    // Polls every session once, in order, destroying each whose poll returns
    // false. A removal made by a poll (a kick by name) takes effect at once;
    // the walk goes on by position.
    void pollAll();
    // Kicks the first session with this userName: REPLY_CLOSING, close,
    // destroy. False, and nothing sent, when none has the name.
    bool kickUserByName(std::string_view name);
    // Kicks every session, newest first. The count is not refreshed.
    void kickAll();
    void refreshClientCount();

private:
    void removeAt(std::size_t index);

    std::vector<std::unique_ptr<ClientSession>> sessions_;
    WindowSystem& window_;
};

}  // namespace vextora
