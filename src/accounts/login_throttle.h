// LoginThrottle: how soon a failed login may be answered.
//
// Every login that fails (no such account, wrong password) is told to the
// throttle with the IPv4 address it came from. Failures from one address are
// answered at once until three of them fall within WINDOW_MS; from the fourth
// such failure on, refusals to that address go out at most one every
// SPACING_MS: each waits until SPACING_MS after the previous refusal to that
// address, whichever of its connections carried either. Guessing is then as
// slow over a hundred connections as over one.
//
// A held refusal waits in its session, which reads nothing more meanwhile.
// The throttle keeps, for each address, the sessions waiting in the order
// their logins failed; release() names those whose time has come, and
// nextReleaseIn() tells the loop how long it may sleep. Nothing here waits,
// reads a clock or knows a socket: ticks come in, decisions go out.
//
// A correct login is never held and clears nothing, so an account of one's
// own buys no fresh guesses at another's.
//
// At most MAX_ADDRESSES addresses are remembered. One whose last failure is
// older than WINDOW_MS, with nothing waiting, is forgotten when room is
// needed, and at least once a window anyway. When the table is full of
// recent failures, a new address takes the place of the one whose last
// failure is oldest among those with nothing waiting; if every remembered
// address has a refusal waiting, the new address goes unremembered and its
// refusals go at once (which takes MAX_ADDRESSES addresses, each holding a
// connection open).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

namespace vextora {

class LoginThrottle {
public:
    static constexpr std::uint32_t WINDOW_MS = 60000;
    static constexpr std::uint32_t SPACING_MS = 1000;
    // Failures within the window that are answered at once; a client that
    // mistypes a password twice never waits.
    static constexpr std::size_t FREE_FAILURES = 3;
    // About 80 bytes each, so some 320 KiB when full.
    static constexpr std::size_t MAX_ADDRESSES = 4096;

    // The session's place in accept order: it names the session for release().
    using SessionId = std::uint64_t;

    // A login from `address` on `session` failed at `now`. True: answer at
    // once. False: hold the refusal until release() names the session.
    bool failed(std::uint32_t address, SessionId session, std::uint32_t now);
    // The session ended with its refusal still held: it is waited for no more.
    void forget(std::uint32_t address, SessionId session);
    // Appends to `due` the sessions whose refusals may go out at `now`, at
    // most one per address, and counts each as the address's latest refusal.
    void release(std::uint32_t now, std::vector<SessionId>& due);
    // Milliseconds until release() has a session to name (0: now), or nullopt
    // when no refusal is held.
    std::optional<std::uint32_t> nextReleaseIn(std::uint32_t now) const;

    std::size_t addressCount() const { return entries_.size(); }
    std::size_t heldCount() const;

private:
    struct Entry {
        std::array<std::uint32_t, FREE_FAILURES> recent{};  // latest failures, oldest first
        std::size_t failures = 0;                           // how many of `recent` are set
        std::uint32_t lastRefusal = 0;                      // when the last refusal went out
        std::vector<SessionId> held;                        // oldest first
    };

    // The entry for a new address, or nullptr when no room can be made.
    Entry* admit(std::uint32_t address, std::uint32_t now);
    bool stale(const Entry& entry, std::uint32_t now) const;
    void dropStale(std::uint32_t now);
    void findEarliest();

    std::unordered_map<std::uint32_t, Entry> entries_;
    std::vector<std::uint32_t> holding_;  // addresses with a refusal held
    std::uint32_t earliest_ = 0;          // no release is due before this, while holding_
    std::uint32_t lastSweep_ = 0;
    bool swept_ = false;
};

}  // namespace vextora
