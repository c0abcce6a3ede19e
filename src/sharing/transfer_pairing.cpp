#include "sharing/transfer_pairing.h"

#include <algorithm>
#include <limits>
#include <optional>

#include "platform/tick_clock.h"

namespace vextora {

namespace {

// Events may carry a tick read a little before one already stored: such a
// span is none, never most of the clock's wrap.
std::uint32_t passedMs(std::uint32_t since, std::uint32_t now) {
    std::uint32_t span = elapsedMs(since, now);
    return span > 0x80000000u ? 0 : span;
}

}  // namespace

TransferPairing::Order TransferPairing::order(const Held& held, Stamp at) {
    if (held.after >= at) return Order::After;
    if (held.by >= at) return Order::Ambiguous;
    if (held.by + ARRIVAL_SLACK >= at) return Order::Near;
    return Order::Before;
}

TransferPairing::Place* TransferPairing::placeOf(std::uint32_t address) {
    auto found = places_.find(address);
    return found == places_.end() ? nullptr : &found->second;
}

TransferPairing::Party* TransferPairing::party(SessionId session) {
    auto found = parties_.find(session);
    return found == parties_.end() ? nullptr : &found->second;
}

void TransferPairing::sessionOpened(SessionId session, std::uint32_t address) {
    parties_[session] = Party{session, address};
    places_[address].sessions.push_back(session);
}

void TransferPairing::requestBegun(SessionId session, Stamp at, std::uint32_t nowMs) {
    Party* begun = party(session);
    if (!begun) return;
    begun->state = Party::State::Begun;
    begun->begunAt = at;
    Place& place = places_[begun->address];
    for (Claim& claim : place.claims) {
        if (claim.owner != session || claim.ownerBegun) continue;
        claim.ownerBegun = true;
        claim.nextBegun = at;
    }
    evaluate(begun->address, nowMs, at);
}

void TransferPairing::requestAnswered(SessionId session, Answer answer, std::uint32_t nowMs,
                                      Stamp now) {
    Party* answered = party(session);
    if (!answered) return;
    Place& place = places_[answered->address];
    // What the request that began after a refusal turned out to be settles
    // that refusal's claim on an ambiguous connection.
    for (Claim& claim : place.claims) {
        if (claim.owner == session && claim.ownerBegun && claim.next == Claim::Next::Unknown)
            claim.next =
                answer == Answer::NotTransfer ? Claim::Next::NotTransfer : Claim::Next::Transfer;
    }
    switch (answer) {
        case Answer::NotTransfer:
            answered->state = Party::State::Idle;
            break;
        case Answer::Refused:
            answered->state = Party::State::Idle;
            place.claims.push_back(Claim{session, answered->begunAt, nowMs});
            ++claimTotal_;
            break;
        case Answer::Awaiting:
            answered->state = Party::State::Awaiting;
            answered->awaitingOrder = nextAwaitingOrder_++;
            answered->awaitingSince = now;
            break;
    }
    evaluate(answered->address, nowMs, now);
}

void TransferPairing::transferEnded(SessionId session) {
    Party* ended = party(session);
    if (!ended) return;
    if (!ended->detached) {
        ended->state = Party::State::Idle;
        return;
    }
    // A detached transfer was all that was left of its session.
    std::uint32_t address = ended->address;
    parties_.erase(session);
    if (Place* place = placeOf(address)) std::erase(place->sessions, session);
    forgetIfEmpty(address);
}

void TransferPairing::detach(SessionId session, std::uint32_t nowMs, Stamp now) {
    Party* leaving = party(session);
    if (!leaving) return;
    leaving->detached = true;
    evaluate(leaving->address, nowMs, now);
}

void TransferPairing::sessionGone(SessionId session, std::uint32_t nowMs, Stamp now,
                                  bool owesNothing) {
    Party* gone = party(session);
    if (!gone) return;
    std::uint32_t address = gone->address;
    Place& place = places_[address];
    // Its refusals still hold what its client may have sent for them.
    for (Claim& claim : place.claims) {
        if (claim.owner == session) claim.owner = 0;
    }
    // Its client may still be connecting for the transfer it awaited.
    if (gone->state == Party::State::Awaiting && !owesNothing) {
        place.claims.push_back(Claim{0, gone->begunAt, nowMs});
        ++claimTotal_;
    }
    parties_.erase(session);
    std::erase(place.sessions, session);
    evaluate(address, nowMs, now);
}

void TransferPairing::connectionArrived(ConnectionId connection, std::uint32_t address, Stamp after,
                                        Stamp by, std::uint32_t nowMs, Stamp now) {
    Place& place = places_[address];
    place.held.push_back(Held{connection, after, by, nowMs});
    addressOf_[connection] = address;
    ++heldTotal_;
    // Each of its clients uses one connection at a time: more than that from
    // one address, with a few to spare, is surplus.
    while (place.held.size() > place.sessions.size() + SPARE_PER_ADDRESS) close(place, 0);
    capInAll();
    evaluate(address, nowMs, now);
}

void TransferPairing::connectionEnded(ConnectionId connection, bool reset, bool carriedData,
                                      std::uint32_t nowMs, Stamp now) {
    auto address = addressOf_.find(connection);
    if (address == addressOf_.end()) return;
    Place& place = places_[address->second];
    for (Held& held : place.held) {
        if (held.id != connection) continue;
        held.ended = true;
        held.reset = held.reset || reset;
        held.carriedData = held.carriedData || carriedData;
    }
    evaluate(address->second, nowMs, now);
}

void TransferPairing::caughtUp(Stamp at, std::uint32_t nowMs, Stamp now) {
    caughtUp_ = std::max(caughtUp_, at);
    tick(nowMs, now);
}

void TransferPairing::tick(std::uint32_t nowMs, Stamp now) {
    // Only places with something held or claimed have anything to decide.
    std::vector<std::uint32_t> busy;
    for (const auto& [address, place] : places_) {
        if (!place.held.empty() || !place.claims.empty()) busy.push_back(address);
    }
    for (std::uint32_t address : busy) evaluate(address, nowMs, now);
}

std::vector<PairingDecision> TransferPairing::takeDecisions() {
    std::vector<PairingDecision> taken;
    taken.swap(decisions_);
    return taken;
}

std::size_t TransferPairing::awaitingCount() const {
    return static_cast<std::size_t>(
        std::count_if(parties_.begin(), parties_.end(), [](auto& entry) {
            return entry.second.state == Party::State::Awaiting && !entry.second.detached;
        }));
}

std::size_t TransferPairing::detachedCount() const {
    return static_cast<std::size_t>(std::count_if(
        parties_.begin(), parties_.end(), [](auto& entry) { return entry.second.detached; }));
}

bool TransferPairing::othersConnectedFrom(SessionId session) const {
    auto self = parties_.find(session);
    if (self == parties_.end()) return false;
    auto place = places_.find(self->second.address);
    if (place == places_.end()) return false;
    return std::any_of(place->second.sessions.begin(), place->second.sessions.end(),
                       [&](SessionId other) {
                           if (other == session) return false;
                           auto found = parties_.find(other);
                           return found != parties_.end() && !found->second.detached;
                       });
}

void TransferPairing::evaluate(std::uint32_t address, std::uint32_t nowMs, Stamp now) {
    Place* place = placeOf(address);
    if (!place) return;
    for (bool changed = true; changed;) {
        changed = settleClaims(*place, nowMs);
        // A reset connection can carry nothing, whoever it was for.
        for (std::size_t index = 0; index < place->held.size();) {
            if (place->held[index].reset) {
                close(*place, index);
                changed = true;
            } else {
                ++index;
            }
        }
        if (serveAwaiting(*place, now, false)) changed = true;
        bool connectedWaiting =
            std::any_of(place->sessions.begin(), place->sessions.end(), [&](SessionId id) {
                const Party& each = parties_.at(id);
                return !each.detached &&
                       (each.state == Party::State::Begun || each.state == Party::State::Awaiting);
            });
        if (!connectedWaiting && serveAwaiting(*place, now, true)) changed = true;
        for (std::size_t index = 0; index < place->held.size();) {
            const Held& held = place->held[index];
            // A stray its client closed, once no request seen or still to be
            // seen can want it; and whatever nobody took in time.
            bool closedStray = held.ended && held.by + ARRIVAL_SLACK < caughtUp_ &&
                               !reserved(*place, held) && !wantedByRequest(*place, held);
            if (closedStray || passedMs(held.sinceMs, nowMs) >= HOLD_MS) {
                close(*place, index);
                changed = true;
            } else {
                ++index;
            }
        }
    }
    forgetIfEmpty(address);
}

bool TransferPairing::settleClaims(Place& place, std::uint32_t nowMs) {
    bool changed = false;
    for (std::size_t index = 0; index < place.claims.size();) {
        const Claim& claim = place.claims[index];
        if (passedMs(claim.sinceMs, nowMs) >= CLAIM_MS) {
            place.claims.erase(place.claims.begin() + static_cast<std::ptrdiff_t>(index));
            --claimTotal_;
            changed = true;
            continue;
        }
        std::vector<std::size_t> candidates;
        for (std::size_t held = 0; held < place.held.size(); ++held) {
            const Held& each = place.held[held];
            if (order(each, claim.since) == Order::Before) continue;
            if (claim.ownerBegun && order(each, claim.nextBegun) == Order::After) continue;
            candidates.push_back(held);
        }
        std::optional<std::size_t> owed;
        // The refused client closes what it opened for the request.
        for (std::size_t held : candidates) {
            if (place.held[held].closedEmpty()) {
                owed = held;
                break;
            }
        }
        // Only one is owed, and it came first.
        if (!owed && candidates.size() >= 2) owed = candidates.front();
        bool settled = false;
        if (!owed && claim.ownerBegun) {
            if (candidates.empty()) {
                settled = true;  // its client never connected for it
            } else if (order(place.held[candidates.front()], claim.nextBegun) == Order::Before) {
                owed = candidates.front();
            } else if (claim.next == Claim::Next::Transfer) {
                // The new request's own, or the refused one's: it waits a
                // moment for one that is surely the new request's.
                for (std::size_t held : candidates) place.held[held].contested = true;
                settled = true;
            } else if (claim.next == Claim::Next::NotTransfer) {
                owed = candidates.front();
            }
        }
        if (owed) {
            close(place, *owed);
            settled = true;
        }
        if (settled) {
            place.claims.erase(place.claims.begin() + static_cast<std::ptrdiff_t>(index));
            --claimTotal_;
            changed = true;
        } else {
            ++index;
        }
    }
    return changed;
}

bool TransferPairing::reserved(const Place& place, const Held& held) const {
    return std::any_of(place.claims.begin(), place.claims.end(), [&](const Claim& claim) {
        return order(held, claim.since) != Order::Before &&
               !(claim.ownerBegun && order(held, claim.nextBegun) == Order::After);
    });
}

bool TransferPairing::wantedByRequest(const Place& place, const Held& held) const {
    return std::any_of(place.sessions.begin(), place.sessions.end(), [&](SessionId id) {
        const Party& each = parties_.at(id);
        return !each.detached &&
               (each.state == Party::State::Begun || each.state == Party::State::Awaiting) &&
               order(held, each.begunAt) != Order::Before;
    });
}

bool TransferPairing::someoneElses(const Place& place, const Held& held, SessionId taker) const {
    return std::any_of(place.sessions.begin(), place.sessions.end(), [&](SessionId id) {
        if (id == taker) return false;
        const Party& each = parties_.at(id);
        if (each.detached) return false;
        bool onItsWay = each.state == Party::State::Begun || each.state == Party::State::Awaiting;
        if (onItsWay) return order(held, each.begunAt) != Order::Before;
        // It took a later connection for a request begun before this came.
        return each.tookBy > held.by && order(held, each.tookFor) != Order::Before;
    });
}

bool TransferPairing::serveAwaiting(Place& place, Stamp now, bool detached) {
    std::vector<Party*> takers;
    for (SessionId id : place.sessions) {
        Party& each = parties_.at(id);
        if (each.state == Party::State::Awaiting && each.detached == detached)
            takers.push_back(&each);
    }
    std::sort(takers.begin(), takers.end(),
              [](const Party* a, const Party* b) { return a->awaitingOrder < b->awaitingOrder; });
    bool changed = false;
    for (Party* taker : takers) {
        std::optional<std::size_t> best;
        for (std::size_t index = 0; index < place.held.size() && !best; ++index) {
            const Held& held = place.held[index];
            if (held.reset || reserved(place, held)) continue;
            // A detached download is nobody's to be sure of: only a live
            // connection that came before every request was seen.
            if (detached && (held.ended || held.by >= caughtUp_)) continue;
            Order against = order(held, taker->begunAt);
            // Behind one address connections are interchangeable: one that
            // is surely some other request's may be taken in its turn. A
            // download left behind is owed any such live one, whenever it
            // came: its client reads it still.
            bool inTurn =
                detached || (against == Order::Ambiguous && !held.closedEmpty() && !held.contested);
            if (against == Order::After || (inTurn && someoneElses(place, held, taker->id)))
                best = index;
        }
        if (!best && !detached) best = bestAmbiguous(place, *taker, now);
        if (best) {
            give(place, *best, *taker);
            changed = true;
        }
    }
    return changed;
}

std::optional<std::size_t> TransferPairing::bestAmbiguous(const Place& place, const Party& taker,
                                                          Stamp now) const {
    // The newest of each kind: a client connects right after its request.
    // Only one that surely came once the request was on its way, live or
    // with bytes, is taken at once; the others wait a moment for better.
    enum Kind { Sure, SureEmpty, Near, NearEmpty, Kinds };
    std::optional<std::size_t> newest[Kinds];
    for (std::size_t index = place.held.size(); index-- > 0;) {
        const Held& held = place.held[index];
        if (held.reset || reserved(place, held)) continue;
        Order against = order(held, taker.begunAt);
        if (against != Order::Ambiguous && against != Order::Near) continue;
        bool empty = held.closedEmpty();
        Kind kind = against == Order::Ambiguous && !held.contested ? (empty ? SureEmpty : Sure)
                                                                   : (empty ? NearEmpty : Near);
        if (!newest[kind]) newest[kind] = index;
    }
    if (newest[Sure]) return newest[Sure];
    Stamp waited = now - taker.awaitingSince;
    if (waited < CLOSED_GRACE) return std::nullopt;
    if (newest[SureEmpty]) return newest[SureEmpty];
    if (newest[Near]) return newest[Near];
    if (waited < NEAR_EMPTY_GRACE) return std::nullopt;
    return newest[NearEmpty];
}

bool TransferPairing::waitsForTime() const {
    if (claimTotal_ > 0) return true;
    return std::any_of(parties_.begin(), parties_.end(), [&](const auto& entry) {
        if (entry.second.state != Party::State::Awaiting) return false;
        auto place = places_.find(entry.second.address);
        return place != places_.end() && !place->second.held.empty();
    });
}

void TransferPairing::close(Place& place, std::size_t index) {
    ConnectionId id = place.held[index].id;
    decisions_.push_back({PairingDecision::Close, id, 0});
    place.held.erase(place.held.begin() + static_cast<std::ptrdiff_t>(index));
    addressOf_.erase(id);
    --heldTotal_;
}

void TransferPairing::give(Place& place, std::size_t index, Party& taker) {
    ConnectionId id = place.held[index].id;
    decisions_.push_back({PairingDecision::Give, id, taker.id});
    taker.tookBy = place.held[index].by;
    taker.tookFor = taker.begunAt;
    taker.state = Party::State::Transferring;
    place.held.erase(place.held.begin() + static_cast<std::ptrdiff_t>(index));
    addressOf_.erase(id);
    --heldTotal_;
}

void TransferPairing::capInAll() {
    while (heldTotal_ > parties_.size() + SPARE_IN_ALL) {
        Place* oldest = nullptr;
        for (auto& [address, place] : places_) {
            if (place.held.empty()) continue;
            if (!oldest || place.held.front().by < oldest->held.front().by) oldest = &place;
        }
        if (!oldest) return;
        close(*oldest, 0);
    }
}

void TransferPairing::forgetIfEmpty(std::uint32_t address) {
    Place* place = placeOf(address);
    if (place && place->sessions.empty() && place->held.empty() && place->claims.empty())
        places_.erase(address);
}

}  // namespace vextora
