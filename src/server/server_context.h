// ServerContext: what every session and request handler shares for the run.
// It is created by the Server and outlives every session.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/file_system.h"

namespace vextora {

class ClientList;
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
    // Files that uploads replaced: closed at the end of the pass, after the
    // replies have gone out, so no client waits while their storage is freed.
    std::vector<OwnedHandle> releaseAfterPass{};
};

}  // namespace vextora
