// ServerContext: what every session and request handler shares for the run.
// It is created by the Server and outlives every session.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/file_system.h"

namespace vextora {

class ClientList;
class Poller;
class TickClock;
class TransferEngine;

class ServerContext {
public:
    ClientList& clients;
    const FileSystem& files;
    const TickClock& clock;
    Poller& poller;
    TransferEngine& transfers;

    // Ends the loop after the current pass. Never cleared.
    bool stopRequested = false;
    // Set by anything that did work in this pass; a pass that leaves it
    // clear lets the next one wait for readiness instead of spinning.
    bool activity = false;
    // Counts the passes of the loop, from 1.
    std::uint64_t pass = 0;
    // The id of the next session accepted, in accept order from 1.
    std::uint64_t nextSession = 1;
    // What the sessions' unfinished request frames hold beyond their first
    // FRAME_FREE_BYTES each; kept at most MAX_HELD_FRAME_BYTES by the sessions.
    std::size_t heldFrameBytes = 0;
};

}  // namespace vextora
