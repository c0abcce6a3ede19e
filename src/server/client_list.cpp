#include "server/client_list.h"

#include "platform/window_system.h"

namespace vextora {

ClientList::~ClientList() {
    // Newest first, as at shutdown, but silently: nothing is sent here.
    while (!sessions_.empty()) sessions_.pop_back();
}

ClientSession* ClientList::findByName(std::string_view name) const {
    for (const auto& session : sessions_) {
        if (session->userName == name) return session.get();
    }
    return nullptr;
}

void ClientList::append(std::unique_ptr<ClientSession> session) {
    sessions_.push_back(std::move(session));
    refreshClientCount();
}

void ClientList::pollAll() {
    for (std::size_t index = 0; index < sessions_.size();) {
        ClientSession* current = sessions_[index].get();
        bool keep = current->poll();
        // The poll may have kicked an earlier session, moving this one down.
        // (A session never kicks itself, so it is still in the list.)
        if (index >= sessions_.size()) index = sessions_.size() - 1;
        while (sessions_[index].get() != current) --index;
        if (keep) {
            ++index;
        } else {
            removeAt(index);
            refreshClientCount();
        }
    }
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
        sessions_.pop_back();
    }
}

void ClientList::refreshClientCount() {
    window_.setClientCount(sessions_.size());
}

void ClientList::removeAt(std::size_t index) {
    // Take it out of the list first, so nothing reaches it while it closes.
    std::unique_ptr<ClientSession> gone = std::move(sessions_[index]);
    sessions_.erase(sessions_.begin() + static_cast<std::ptrdiff_t>(index));
    gone.reset();
}

}  // namespace vextora
