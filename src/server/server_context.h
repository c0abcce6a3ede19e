// ServerContext: what every session and request handler shares for the run.
// It is created by the Server and outlives every session.
#pragma once

#include <cstdint>

namespace vextora {

class ClientList;
class FileSystem;
class Poller;
class TickClock;
class TransferHub;

class ServerContext {
public:
    ClientList& clients;
    const FileSystem& files;
    const TickClock& clock;
    Poller& poller;
    TransferHub& transfers;

    // Ends the loop after the current pass. Never cleared.
    bool stopRequested = false;
    // Set by anything that did work in this pass; a pass that leaves it
    // clear lets the next one wait for readiness instead of spinning.
    bool activity = false;
    // Counts the passes of the loop, from 1.
    std::uint64_t pass = 0;
};

}  // namespace vextora
