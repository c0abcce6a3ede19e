#include "server/server.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "accounts/account_store.h"
#include "platform/event_log.h"
#include "platform/tick_clock.h"
#include "platform/window_system.h"
#include "sharing/catalog.h"

namespace vextora {

namespace {
// Descriptors no new client may take: the connected sessions' files, catalog
// rewrites and transfer connections need them.
constexpr long DESCRIPTORS_KEPT_FOR_SESSIONS = 64;
constexpr std::uint32_t MEMORY_RELEASE_INTERVAL_MS = 1000;
// How often every session is looked at for a stalled request frame: the
// 60 s limit is then kept to within this.
constexpr std::uint32_t FRAME_SWEEP_INTERVAL_MS = 1000;
// How soon an idle pass looks again while a transfer connection waits for
// a moment to pass before it can be handed on.
constexpr int PAIRING_LOOK_MS = 20;
// Quiet passes run without waiting after a busy one (some tens of
// microseconds in all).
constexpr std::uint32_t QUICK_QUIET_PASSES = 64;
// After this many quick passes, each further one first offers the processor
// to anything else waiting for it. The client the last reply woke may have
// been woken on this processor: it could not send its next request until the
// scheduler took the processor from the quick passes, often only once they
// ended. Earlier passes do not offer it, as the request usually arrives
// within them and each offer costs a system call.
constexpr std::uint32_t OFFER_PROCESSOR_AFTER = 8;
// A pass right after a busy one skips the look at readiness when the last
// look was this recent: the sessions with work left are polled anyway, and
// what became ready since is seen a pass or two later. A request then costs
// one look instead of one per pass it takes (header, payload, dispatch).
constexpr auto LOOK_AGAIN_AFTER = std::chrono::microseconds(10);
// How soon an idle pass looks again while log lines wait for standard error
// to take them: nothing reports when it can.
constexpr int LOG_LOOK_MS = 20;

// Why the loop is about to stop, when no administrator asked (that request
// says so itself).
void logStop(bool console, std::size_t clients) {
    if (console) return logEvent("stop", {{"reason", "console"}, {"clients", clients}});
    const char* signal = stopSignalName();
    if (signal == nullptr) return logEvent("stop", {{"reason", "request"}, {"clients", clients}});
    logEvent("stop", {{"reason", "signal"}, {"signal", signal}, {"clients", clients}});
}
}  // namespace

Server::Server(const ServerConfig& config, WindowSystem& window, const TickClock& clock)
    : config_(config),
      window_(window),
      clock_(clock),
      files_(config.root),
      context_(std::make_unique<ServerContext>(
          ServerContext{clients_, files_, clock_, poller_, transfers_, logins_})),
      transfers_(poller_, clock),
      clients_(window),
      listener_(poller_, clock) {
    poller_.watch(wake_.handle(), READY_READ, &wakeReady_);
    transfers_.setWake([this](SessionId session) {
        if (ClientSession* ready = clients_.findById(session)) clients_.markDue(*ready);
    });
}

Server::~Server() {
    shutdown();
}

bool Server::start(std::string& error) {
    ignoreBrokenPipe();
    listener_.keepFree(DESCRIPTORS_KEPT_FOR_SESSIONS);
    if (!listener_.open(config_.controlPort)) {
        error = "cannot listen on port " + std::to_string(config_.controlPort) + ": " +
                std::strerror(listener_.lastError());
        return false;
    }
    if (!transfers_.listen(config_.transferPort)) {
        startWarnings_.push_back("cannot listen on port " + std::to_string(config_.transferPort) +
                                 ": " + std::strerror(transfers_.lastError()) +
                                 "; file transfers wait until it is free");
    }
    // Whoever reaches the request port may log in as ADMIN with an empty
    // password, and stop the server: the operator must hear of it.
    std::optional<std::string> adminPassword = AccountStore(files_).adminPassword();
    std::string file(AccountStore::ADMIN_PASSWORD_FILE);
    std::string port = std::to_string(listener_.port());
    if (!adminPassword) {
        startWarnings_.push_back("warning: " + file +
                                 " cannot be read as a file; every ADMIN login is refused");
    } else if (adminPassword->empty()) {
        startWarnings_.push_back("warning: the administrator password is empty: anyone who " +
                                 ("reaches port " + port) +
                                 " can log in as ADMIN and stop the server; set one in " + file);
    }
    // Only now: a second server in this folder, refused its port, must not
    // take the temporaries of the one that holds it.
    files_.removeStaleTemporaries();
    // Changes to the catalog are reported with the readiness of every pass,
    // so a request looks at the file only when it may have changed.
    int changes = files_.watchChanges();
    if (changes >= 0 && !poller_.watch(changes, READY_READ, &catalogChanged_))
        files_.unwatchChanges();
    // The catalog keeps its descriptor between reads; taking it now puts it
    // among the server's descriptors at rest.
    Catalog(files_).forEachLine([](std::string_view) {});
    return true;
}

int Server::run() {
    while (!context_->stopRequested) runPass();
    shutdown();
    return 0;
}

int Server::idleWaitBound() const {
    int bound = config_.idleWaitMs;
    if (listener_.backingOff() || transfers_.backingOff())
        bound = static_cast<int>(Listener::BACKOFF_MS);
    else if (transfers_.waitsForTime())
        bound = std::min(bound, PAIRING_LOOK_MS);
    if (EventLog::process().hasPending()) bound = std::min(bound, LOG_LOOK_MS);
    // A held refusal goes out on time, however quiet the server is.
    if (auto release = logins_.nextReleaseIn(clock_.now()))
        bound =
            static_cast<int>(std::min<std::uint32_t>(static_cast<std::uint32_t>(bound), *release));
    return bound;
}

long Server::clientLimit() const {
    long limit = descriptorLimit();
    int open = openDescriptorCount();
    if (limit < 0 || open < 0) return -1;
    return std::max(0L, limit - open - DESCRIPTORS_KEPT_FOR_SESSIONS);
}

void Server::runPass() {
    // Only a pass that did nothing may wait; one that did something goes on
    // at once, so a busy server never sleeps and an idle one never spins.
    if (idleLastPass_) {
        // A quiet moment after clients have gone: without this, what a burst
        // of them held stays with the process for good.
        if (clients_.size() < clientsSinceRelease_ &&
            elapsedMs(lastRelease_, clock_.now()) >= MEMORY_RELEASE_INTERVAL_MS) {
            releaseFreeMemory();
            lastRelease_ = clock_.now();
            clientsSinceRelease_ = clients_.size();
        }
    }
    // Right after a busy pass the next request is usually microseconds
    // away: a few quick passes catch it sooner than a sleep and a wake-up
    // would. After them the server sleeps until something happens. Without
    // window events to wait for, the readiness call does the waiting.
    auto passStart = std::chrono::steady_clock::now();
    if (idleLastPass_ || passStart - lastLook_ >= LOOK_AGAIN_AFTER) gatherReadiness(passStart);
    context_->activity = false;
    ++context_->pass;

    TcpSocket accepted = listener_.acceptOne();
    if (accepted.isOpen()) {
        auto session = std::make_unique<ClientSession>(accepted, *context_);
        accepted.release();  // the session holds the only count now
        clients_.append(std::move(session));
        context_->activity = true;
    }
    if (transfers_.service(lookedAt_)) context_->activity = true;

    if (elapsedMs(lastFrameSweep_, clock_.now()) >= FRAME_SWEEP_INTERVAL_MS) {
        lastFrameSweep_ = clock_.now();
        clients_.markStalledFrames(lastFrameSweep_);
    }
    releaseHeldRefusals();
    clients_.pollAll();
    clientsSinceRelease_ = std::max(clientsSinceRelease_, clients_.size());
    transfers_.settle();

    if (window_.processPendingEvents()) context_->activity = true;
    if (externalStop_.load() || window_.stopRequested()) {
        if (!context_->stopRequested) logStop(window_.stopRequested(), clients_.size());
        context_->stopRequested = true;
    }
    // Whatever standard error can take now; the rest waits for a later pass.
    EventLog::process().drain();
    idleLastPass_ = !context_->activity;
    quietPasses_ = idleLastPass_ ? quietPasses_ + 1 : 0;
}

void Server::gatherReadiness(std::chrono::steady_clock::time_point passStart) {
    bool wait = idleLastPass_ && quietPasses_ > QUICK_QUIET_PASSES;
    int waitMs = 0;
    if (wait && window_.hasOwnEvents())
        window_.waitForActivity(poller_.nativeHandle(), idleWaitBound());
    else if (wait)
        waitMs = idleWaitBound();
    // Only quiet passes are counted, so this is never a busy one.
    if (!wait && quietPasses_ >= OFFER_PROCESSOR_AFTER) yieldProcessor();
    // Whatever had arrived by now is reported by this look.
    lookedAt_ = wallClockNanos();
    int reported = poller_.wait(waitMs);
    lastLook_ = wait ? std::chrono::steady_clock::now() : passStart;
    if (wakeReady_) {
        wakeReady_ = 0;
        wake_.drain();
    }
    // A change to the catalog made before a client sent its request is
    // reported no later than the request's first bytes, so it is taken here
    // before the request is dispatched. A full report may have left the
    // change for the next one: then it is looked for all the same.
    if (catalogChanged_ || reported == Poller::MOST_REPORTED) {
        catalogChanged_ = 0;
        files_.takeChanges();
    }
}

void Server::releaseHeldRefusals() {
    released_.clear();
    logins_.release(clock_.now(), released_);
    for (LoginThrottle::SessionId id : released_) {
        ClientSession* session = clients_.findById(id);
        if (session == nullptr) continue;
        session->releaseHeldReply();
        clients_.markDue(*session);
        context_->activity = true;
    }
}

void Server::shutdown() {
    if (shutDown_) return;
    shutDown_ = true;
    listener_.close();
    transfers_.close();
    clients_.kickAll();
}

void Server::requestStop() {
    externalStop_.store(true);
    wake_.notify();
}

std::uint16_t Server::controlPort() const {
    return listener_.port();
}

std::uint16_t Server::transferPort() const {
    return transfers_.port();
}

}  // namespace vextora
