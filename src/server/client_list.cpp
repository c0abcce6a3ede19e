#include "server/client_list.h"

#include <algorithm>

#include "platform/window_system.h"

namespace vextora {

namespace {

bool earlierAccepted(const ClientSession* a, const ClientSession* b) {
    return a->acceptOrder < b->acceptOrder;
}

}  // namespace

ClientList::~ClientList() {
    due_.clear();
    nextDue_.clear();
    // Newest first, as at shutdown, but silently: nothing is sent here.
    while (!sessions_.empty()) sessions_.pop_back();
}

ClientSession* ClientList::findByName(std::string_view name) const {
    for (const auto& session : sessions_) {
        if (session->userName == name) return session.get();
    }
    return nullptr;
}

ClientSession* ClientList::findById(std::uint64_t acceptOrder) const {
    auto found = std::lower_bound(sessions_.begin(), sessions_.end(), acceptOrder,
                                  [](const std::unique_ptr<ClientSession>& entry,
                                     std::uint64_t order) { return entry->acceptOrder < order; });
    if (found == sessions_.end() || (*found)->acceptOrder != acceptOrder) return nullptr;
    return found->get();
}

void ClientList::append(std::unique_ptr<ClientSession> session) {
    // Sessions are made in accept order, so the list stays sorted.
    sessions_.push_back(std::move(session));
    refreshClientCount();
}

void ClientList::pollAll() {
    // Everything marked since the last walk: readiness from this pass's
    // wait, and the sessions that still had work after their last poll.
    due_.swap(nextDue_);
    nextDue_.clear();
    std::sort(due_.begin(), due_.end(), earlierAccepted);
    for (walkNext_ = 0; walkNext_ < due_.size();) {
        ClientSession* current = due_[walkNext_++];
        if (current == nullptr) continue;  // removed by an earlier poll
        current->due = false;
        // A session never kicks itself, so it is still in the list after.
        if (!current->poll()) {
            removeAt(indexOf(*current));
            refreshClientCount();
        } else if (current->needsPolling()) {
            markDue(*current);
        }
    }
    due_.clear();
    walkNext_ = 0;
}

void ClientList::markDue(ClientSession& session) {
    if (session.due) return;
    session.due = true;
    nextDue_.push_back(&session);
}

void ClientList::markStalledFrames(std::uint32_t now) {
    for (const auto& session : sessions_) {
        if (session->frameStalled(now)) markDue(*session);
    }
}

std::size_t ClientList::indexOf(const ClientSession& session) const {
    auto found = std::lower_bound(sessions_.begin(), sessions_.end(), session.acceptOrder,
                                  [](const std::unique_ptr<ClientSession>& entry,
                                     std::uint64_t order) { return entry->acceptOrder < order; });
    return static_cast<std::size_t>(found - sessions_.begin());
}

void ClientList::dropDue(const ClientSession& session) {
    if (!session.due) return;
    auto next = std::find(nextDue_.begin(), nextDue_.end(), &session);
    if (next != nextDue_.end()) {
        *next = nextDue_.back();
        nextDue_.pop_back();
        return;
    }
    // Still ahead in the walk: leave a gap, the walk's positions stay valid.
    auto ahead =
        std::find(due_.begin() + static_cast<std::ptrdiff_t>(walkNext_), due_.end(), &session);
    if (ahead != due_.end()) *ahead = nullptr;
}

bool ClientList::kickUserByName(std::string_view name) {
    for (std::size_t index = 0; index < sessions_.size(); ++index) {
        if (sessions_[index]->userName != name) continue;
        sessions_[index]->kick();
        removeAt(index);
        refreshClientCount();
        return true;
    }
    return false;
}

void ClientList::kickAll() {
    while (!sessions_.empty()) {
        sessions_.back()->kick();
        dropDue(*sessions_.back());
        sessions_.pop_back();
    }
}

void ClientList::refreshClientCount() {
    window_.setClientCount(sessions_.size());
}

void ClientList::removeAt(std::size_t index) {
    // Take it out of the list first, so nothing reaches it while it closes.
    dropDue(*sessions_[index]);
    std::unique_ptr<ClientSession> gone = std::move(sessions_[index]);
    sessions_.erase(sessions_.begin() + static_cast<std::ptrdiff_t>(index));
    gone.reset();
}

}  // namespace vextora
