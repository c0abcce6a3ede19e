// ClientList: the connected sessions, owned, in accept order.
//
// A session is created only by the accept step and destroyed only here: when
// its poll returns false, when it is kicked by name, or at shutdown. Removing
// one shifts the later ones down, so the order of the others never changes.
// The console holds names, never sessions, and looks a name up again for
// each action.
//
// With thousands of clients connected, most of them idle, visiting every
// session in every pass would cost a cache miss or two per session and pass
// for nothing. So a pass polls only the sessions that are due: those whose
// connections the poller reported, and those that have work of their own
// (a request to dispatch, a running transfer, queued replies, a time limit
// to watch). Due sessions are still polled in accept order. Readiness is
// learned only by the wait at the start of a pass, before the walk, and a
// session with work of its own stays due, so a session that is not due
// would do nothing in its poll: skipping it changes nothing a client can see.
#pragma once

#include <cstddef>
#include <cstdint>
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
    // The session with this place in accept order, if it is still here.
    ClientSession* findById(std::uint64_t acceptOrder) const;

    void append(std::unique_ptr<ClientSession> session);
    // Polls every due session once, in accept order, destroying each whose
    // poll returns false. A removal made by a poll (a kick by name) takes
    // effect at once; the walk goes on with the next due session.
    void pollAll();
    // The session has something to do: the next walk polls it.
    void markDue(ClientSession& session);
    // Marks every session whose unfinished frame has stalled, so that the
    // next walk ends it. Such a session is not due by itself: it waits for a
    // byte that does not come. Looks at every session: call it now and then.
    void markStalledFrames(std::uint32_t now);
    // Sessions that the next walk will poll (tests look at this).
    std::size_t dueCount() const { return nextDue_.size(); }
    // Kicks the first session with this userName: REPLY_CLOSING, close,
    // destroy. False, and nothing sent, when none has the name.
    bool kickUserByName(std::string_view name);
    // Kicks every session, newest first. The count is not refreshed.
    void kickAll();
    void refreshClientCount();

private:
    void removeAt(std::size_t index);
    std::size_t indexOf(const ClientSession& session) const;
    void dropDue(const ClientSession& session);

    std::vector<std::unique_ptr<ClientSession>> sessions_;  // ascending acceptOrder
    WindowSystem& window_;
    // The walk in progress: due_[walkNext_..] are still to be polled, sorted
    // by accept order; a removed session leaves a null behind. nextDue_
    // collects the sessions for the next walk, unsorted. A session is in at
    // most one of them, and its `due` flag says that it is.
    std::vector<ClientSession*> due_;
    std::vector<ClientSession*> nextDue_;
    std::size_t walkNext_ = 0;
};

}  // namespace vextora
