#include "accounts/login_throttle.h"

#include <algorithm>

namespace vextora {

namespace {

std::uint32_t elapsed(std::uint32_t since, std::uint32_t now) {
    return now - since;  // right across the wrap of the tick
}

// Whether tick `a` comes before tick `b`; they lie well within 24 days of each other.
bool before(std::uint32_t a, std::uint32_t b) {
    return static_cast<std::int32_t>(a - b) < 0;
}

}  // namespace

bool LoginThrottle::failed(std::uint32_t address, SessionId session, std::uint32_t now) {
    // However the table fills, addresses that stopped failing go within two windows.
    if (!swept_ || elapsed(lastSweep_, now) >= WINDOW_MS) {
        dropStale(now);
        lastSweep_ = now;
        swept_ = true;
    }
    auto found = entries_.find(address);
    Entry* entry = found != entries_.end() ? &found->second : admit(address, now);
    if (entry == nullptr) return true;

    bool throttled = entry->failures == FREE_FAILURES && elapsed(entry->recent[0], now) < WINDOW_MS;
    if (entry->failures < FREE_FAILURES) {
        entry->recent[entry->failures++] = now;
    } else {
        std::rotate(entry->recent.begin(), entry->recent.begin() + 1, entry->recent.end());
        entry->recent.back() = now;
    }
    // Refusals already waiting go first, so a refusal after them waits its turn
    // even once the failures before it have left the window.
    if (entry->held.empty() && (!throttled || elapsed(entry->lastRefusal, now) >= SPACING_MS)) {
        entry->lastRefusal = now;
        return true;
    }
    entry->held.push_back(session);
    if (entry->held.size() == 1) {
        std::uint32_t due = entry->lastRefusal + SPACING_MS;
        if (holding_.empty() || before(due, earliest_)) earliest_ = due;
        holding_.push_back(address);
    }
    return false;
}

void LoginThrottle::forget(std::uint32_t address, SessionId session) {
    auto found = entries_.find(address);
    if (found == entries_.end()) return;
    std::vector<SessionId>& held = found->second.held;
    auto at = std::find(held.begin(), held.end(), session);
    if (at == held.end()) return;
    held.erase(at);
    // The next refusal's time depends on the last one sent, not on who waits,
    // so only an address that no longer waits changes the earliest release.
    if (held.empty()) std::erase(holding_, address);
}

void LoginThrottle::release(std::uint32_t now, std::vector<SessionId>& due) {
    if (holding_.empty() || before(now, earliest_)) return;
    for (std::size_t i = 0; i < holding_.size();) {
        Entry& entry = entries_.at(holding_[i]);
        if (elapsed(entry.lastRefusal, now) >= SPACING_MS) {
            due.push_back(entry.held.front());
            entry.held.erase(entry.held.begin());
            entry.lastRefusal = now;
            if (entry.held.empty()) {
                holding_[i] = holding_.back();
                holding_.pop_back();
                continue;
            }
        }
        ++i;
    }
    findEarliest();
}

std::optional<std::uint32_t> LoginThrottle::nextReleaseIn(std::uint32_t now) const {
    if (holding_.empty()) return std::nullopt;
    if (!before(now, earliest_)) return 0;
    return earliest_ - now;
}

std::size_t LoginThrottle::heldCount() const {
    std::size_t count = 0;
    for (std::uint32_t address : holding_) count += entries_.at(address).held.size();
    return count;
}

LoginThrottle::Entry* LoginThrottle::admit(std::uint32_t address, std::uint32_t now) {
    if (entries_.size() >= MAX_ADDRESSES) dropStale(now);
    if (entries_.size() >= MAX_ADDRESSES) {
        auto oldest = entries_.end();
        for (auto at = entries_.begin(); at != entries_.end(); ++at) {
            const Entry& entry = at->second;
            if (!entry.held.empty()) continue;
            if (oldest == entries_.end() ||
                elapsed(entry.recent[entry.failures - 1], now) >
                    elapsed(oldest->second.recent[oldest->second.failures - 1], now))
                oldest = at;
        }
        if (oldest == entries_.end()) return nullptr;
        entries_.erase(oldest);
    }
    return &entries_[address];
}

bool LoginThrottle::stale(const Entry& entry, std::uint32_t now) const {
    return entry.held.empty() &&
           (entry.failures == 0 || elapsed(entry.recent[entry.failures - 1], now) >= WINDOW_MS);
}

void LoginThrottle::dropStale(std::uint32_t now) {
    std::erase_if(entries_, [&](const auto& item) { return stale(item.second, now); });
}

void LoginThrottle::findEarliest() {
    for (std::size_t i = 0; i < holding_.size(); ++i) {
        std::uint32_t due = entries_.at(holding_[i]).lastRefusal + SPACING_MS;
        if (i == 0 || before(due, earliest_)) earliest_ = due;
    }
}

}  // namespace vextora
