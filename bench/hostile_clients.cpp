// Hostile clients against a running server on the fixed ports, one pattern at
// a time, while a well-behaved client measures how fast its requests are
// answered. After each pattern the hostile clients leave, and the server's
// descriptors and memory must come back to where they started.
//
//   hostile_clients PID [SECONDS_PER_PATTERN]
//
// PID is the server's; its data folder must hold the accounts WELL and
// HOSTILE (password "pw"), Users/WELL/probe.bin and Users/HOSTILE/big.bin,
// and the catalog line HOSTILE\big.bin (bench/hostile.sh sets this up).
// Prints one line per pattern; exits 1 when any pattern misses a limit.
// One pattern publishes a catalog of 50,000 lines as HOSTILE first, and
// withdraws it again afterwards.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>

#include "client/client.h"
#include "driver_support.h"
#include "server/protocol.h"

namespace vextora::bench {
namespace {

constexpr double LATENCY_LIMIT_MS = 50;  // the well-behaved client's 99th percentile
constexpr double RECOVERY_MARGIN = 1.10;
constexpr int RECOVERY_WAIT_S = 45;  // longer than the server's 30 s hold
constexpr std::size_t PROBE_FILE_SIZE = 4096;
// The long catalog: 50,000 lines of 255 bytes, a listing of 12.85 MB.
constexpr int LONG_CATALOG_LINES = 50000;
constexpr int UNREAD_LISTINGS = 100;
constexpr long LISTINGS_GROWTH_LIMIT_KB = 64 * 1024;  // for all of them together
// Addresses of their own: transfer connections are matched by address, and
// another program on this machine may use the common ones.
constexpr const char* WELL_ADDRESS = "127.0.7.1";

// The well-behaved client: a file-information request every few
// milliseconds, and now and then a small download, from its own address.
class Prober {
public:
    struct Probe {
        Clock::time_point at;
        double latencyMs;
        bool ok;
    };

    void start() {
        thread_ = std::thread([this] { loop(); });
    }
    void stop() {
        stopping_ = true;
        if (thread_.joinable()) thread_.join();
    }
    // Latencies of the probes in [from, to), and the failures among them.
    std::vector<double> window(Clock::time_point from, Clock::time_point to, int* failures) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<double> latencies;
        *failures = 0;
        for (const auto& probe : probes_) {
            if (probe.at < from || probe.at >= to) continue;
            if (probe.ok)
                latencies.push_back(probe.latencyMs);
            else
                ++*failures;
        }
        return latencies;
    }
    int transfers() const { return transfers_; }
    int failedTransfers() const { return failedTransfers_; }

private:
    bool connect(client::Client& client) {
        client.setLocalAddress(WELL_ADDRESS);
        if (!client.connect(2000)) return false;
        client.connection().setTimeout(5000);
        return client.login("WELL", "pw").ok();
    }

    void loop() {
        client::Client client;
        bool connected = connect(client);
        for (std::uint64_t round = 0; !stopping_; ++round) {
            auto start = Clock::now();
            bool ok = connected && client.fileInfo("probe.bin").has_value();
            record({start, millisecondsSince(start), ok});
            if (ok && round % 100 == 99) download(client);
            if (!ok) {
                client.disconnect();
                connected = connect(client);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    void download(client::Client& client) {
        std::size_t received = 0;
        client::TransferOptions options;
        options.pieceSize = 4096;
        options.connectTimeoutMs = 3000;
        auto status = client.download(
            "probe.bin", SELECT_OWN_FOLDER,
            [&](const std::uint8_t*, std::size_t length) {
                received += length;
                return true;
            },
            options);
        ++transfers_;
        if (!status.ok() || received != PROBE_FILE_SIZE) ++failedTransfers_;
    }

    void record(const Probe& probe) {
        std::lock_guard<std::mutex> lock(mutex_);
        probes_.push_back(probe);
    }

    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::vector<Probe> probes_;
    std::atomic<int> transfers_{0};
    std::atomic<int> failedTransfers_{0};
};

// The hostile connections of one pattern, and what the pattern saw.
struct Hostiles {
    std::vector<TcpSocket> sockets;
    int attempted = 0;
    std::string note;  // what the server did to them, in words

    ~Hostiles() { closeAll(); }
    void closeAll() {
        for (auto& socket : sockets) closeAbruptly(socket);
        sockets.clear();
    }
    int closedByServer() {
        int closed = 0;
        for (auto& socket : sockets) {
            if (socket.isOpen() && closedByPeer(socket)) ++closed;
        }
        return closed;
    }
};

std::string hostileAddress(int index) {
    return "127.0.6." + std::to_string(index);
}

bool logIn(TcpSocket& socket, const std::string& name) {
    if (!sendAll(socket, Request(REQ_LOGIN).text(name).text("pw").frame(), 2000)) return false;
    std::uint8_t reply = 0;
    return receiveExact(socket, &reply, 1, 3000) && reply == REPLY_OK;
}

using Pattern = std::function<void(Hostiles&, Clock::time_point until)>;
// Set-up and tidying of a pattern, outside the time it is measured.
using Step = std::function<bool()>;

// A thousand connections, each stopping halfway through a frame: half in
// the length header, half in the payload of the largest frame allowed.
void halfFrames(Hostiles& hostiles, Clock::time_point) {
    std::string halfPayload = frameHeader(MAX_FRAME_PAYLOAD) + std::string(32768, 'h');
    for (int i = 0; i < 1000; ++i) {
        ++hostiles.attempted;
        TcpSocket socket = connectFrom(hostileAddress(2), CONTROL_PORT, 2000);
        if (!socket.isOpen()) continue;
        sendAll(socket, i % 2 == 0 ? std::string(2, '\0') : halfPayload, 2000);
        hostiles.sockets.push_back(socket);
    }
    hostiles.note = std::to_string(hostiles.sockets.size()) + " held open";
}

// Waves of connections whose header announces up to 4 GiB; each must be
// closed at once.
void hugeHeaders(Hostiles& hostiles, Clock::time_point until) {
    const std::string headers[] = {frameHeader(0xFFFFFFFF), frameHeader(0x80000000),
                                   frameHeader(MAX_FRAME_PAYLOAD + 1),
                                   frameHeader(0xFFFFFFFF) + "payload"};
    int closed = 0, open = 0;
    while (Clock::now() < until) {
        std::vector<TcpSocket> wave;
        for (int i = 0; i < 200; ++i) {
            ++hostiles.attempted;
            TcpSocket socket = connectFrom(hostileAddress(3), CONTROL_PORT, 2000);
            if (!socket.isOpen()) continue;
            sendAll(socket, headers[i % 4], 1000);
            wave.push_back(socket);
        }
        auto deadline = Clock::now() + std::chrono::seconds(2);
        for (auto& socket : wave) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (socket.waitReadable(static_cast<int>(std::max<long>(left.count(), 0))) &&
                closedByPeer(socket))
                ++closed;
            else
                ++open;
            closeAbruptly(socket);
        }
    }
    hostiles.note = std::to_string(closed) + " closed by the server within 2 s, " +
                    std::to_string(open) + " not";
    if (open > 0) hostiles.note += " FAIL";
}

// Clients that ask for a 64 MiB file and never read it; a few more that ask
// and never connect for it.
void stuckDownloaders(Hostiles& hostiles, Clock::time_point) {
    for (int i = 0; i < 25; ++i) {
        ++hostiles.attempted;
        TcpSocket control = connectFrom(hostileAddress(4), CONTROL_PORT, 2000);
        if (!control.isOpen() || !logIn(control, "HOSTILE")) continue;
        hostiles.sockets.push_back(control);
        Request download(REQ_DOWNLOAD);
        download.text("HOSTILE\\big.bin").uint32(MAX_PIECE_SIZE).byte(0);
        std::uint8_t size[4];
        if (!sendAll(control, download.frame(), 2000) || !receiveExact(control, size, 4, 3000))
            continue;
        if (i >= 20) continue;  // these never connect
        TcpSocket transfer = connectFrom(hostileAddress(4), TRANSFER_PORT, 2000, 4096);
        if (transfer.isOpen()) hostiles.sockets.push_back(transfer);
    }
    hostiles.note = "20 downloads never read, 5 never connected";
}

// Clients that keep sending catalog listings (tens of kilobytes each) and
// read no reply: the server's buffers fill, and it must stop reading them.
void unreadReplies(Hostiles& hostiles, Clock::time_point until) {
    std::string burst;
    for (int i = 0; i < 1000; ++i) burst += Request(REQ_LIST_FILES).byte(0).frame();
    for (int i = 0; i < 50; ++i) {
        ++hostiles.attempted;
        TcpSocket socket = connectFrom(hostileAddress(5), CONTROL_PORT, 2000, 4096);
        if (!socket.isOpen() || !logIn(socket, "HOSTILE")) continue;
        hostiles.sockets.push_back(socket);
    }
    std::vector<std::size_t> sent(hostiles.sockets.size(), 0);
    std::size_t requests = 0;
    while (Clock::now() < until - std::chrono::milliseconds(100)) {
        for (std::size_t i = 0; i < hostiles.sockets.size(); ++i) {
            // As much as the connection takes now, never waiting for it.
            std::size_t offset = sent[i] % burst.size();
            IoResult out =
                hostiles.sockets[i].sendSome(burst.data() + offset, burst.size() - offset);
            sent[i] += out.bytes;
            requests += out.bytes / 6;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    hostiles.note = "about " + std::to_string(requests) + " requests written, " +
                    std::to_string(hostiles.closedByServer()) + " of " +
                    std::to_string(hostiles.sockets.size()) + " ended by the server";
}

// HOSTILE's connection for the long catalog, kept from its publish to its withdraw.
TcpSocket longCatalogOwner;
const std::string LONG_CATALOG_NAME(255 - std::string("HOSTILE\\").size(), 'L');

// Answered only once everything sent before it on `socket` was handled.
bool roundTrip(TcpSocket& socket, int timeoutMs) {
    std::uint8_t info[5];
    return sendAll(socket, Request(REQ_FILE_INFO).text("x").frame(), timeoutMs) &&
           receiveExact(socket, info, sizeof info, timeoutMs);
}

// 50,000 equal lines, so that one withdraw takes them all away again.
bool publishLongCatalog() {
    longCatalogOwner = connectFrom(hostileAddress(7), CONTROL_PORT, 2000);
    if (!longCatalogOwner.isOpen() || !logIn(longCatalogOwner, "HOSTILE")) return false;
    std::string publish = Request(REQ_SET_SHARED).text(LONG_CATALOG_NAME).byte(1).frame();
    std::string frames;
    frames.reserve(publish.size() * LONG_CATALOG_LINES);
    for (int i = 0; i < LONG_CATALOG_LINES; ++i) frames += publish;
    return sendAll(longCatalogOwner, frames, 60000) && roundTrip(longCatalogOwner, 60000);
}

bool withdrawLongCatalog() {
    bool done = longCatalogOwner.isOpen() &&
                sendAll(longCatalogOwner,
                        Request(REQ_SET_SHARED).text(LONG_CATALOG_NAME).byte(0).frame(), 2000) &&
                roundTrip(longCatalogOwner, 30000);
    closeAbruptly(longCatalogOwner);
    return done;
}

// A hundred clients that each ask for one listing of the long catalog and
// never read a byte of it: what the server holds for them must stay small.
void unreadLongListings(Hostiles& hostiles, Clock::time_point until, pid_t server) {
    long before = sampleProcess(server).residentKb, peak = before;
    std::string listing = Request(REQ_LIST_FILES).byte(0).frame();
    for (int i = 0; i < UNREAD_LISTINGS; ++i) {
        ++hostiles.attempted;
        TcpSocket socket = connectFrom(hostileAddress(8), CONTROL_PORT, 2000);
        if (!socket.isOpen() || !sendAll(socket, listing, 2000)) continue;
        hostiles.sockets.push_back(socket);
    }
    while (Clock::now() < until - std::chrono::milliseconds(100)) {
        peak = std::max(peak, sampleProcess(server).residentKb);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    long grown = peak - before;
    // What the server still holds for them: each listing in progress keeps
    // its connection and the catalog open, until its reply has not moved
    // for 5 s.
    int left = sampleProcess(server).descriptors;
    char summary[160];
    std::snprintf(summary, sizeof summary,
                  "%zu listings of %d lines never read; memory grew by %.1f MB (limit %ld), "
                  "server descriptors %d at the end",
                  hostiles.sockets.size(), LONG_CATALOG_LINES, grown / 1024.0,
                  LISTINGS_GROWTH_LIMIT_KB / 1024, left);
    hostiles.note = summary;
    if (grown >= LISTINGS_GROWTH_LIMIT_KB ||
        hostiles.sockets.size() != static_cast<std::size_t>(UNREAD_LISTINGS))
        hostiles.note += " FAIL";
}

// Connections until the server's descriptors run out, and beyond.
void exhaustDescriptors(Hostiles& hostiles, Clock::time_point) {
    int failures = 0;
    for (int i = 0; i < 6000 && failures < 50; ++i) {
        ++hostiles.attempted;
        TcpSocket socket = connectFrom(hostileAddress(6 + i / 20000), CONTROL_PORT, 200);
        if (!socket.isOpen()) {
            ++failures;
            continue;
        }
        failures = 0;
        hostiles.sockets.push_back(socket);
    }
    hostiles.note = std::to_string(hostiles.sockets.size()) + " connections made";
}

// Transfer-port connections from addresses that asked for no transfer.
void strayTransfers(Hostiles& hostiles, Clock::time_point) {
    for (int i = 0; i < 2000; ++i) {
        ++hostiles.attempted;
        TcpSocket socket = connectFrom(hostileAddress(10 + i % 50), TRANSFER_PORT, 2000);
        if (!socket.isOpen()) continue;
        socket.sendSome("stray", 5);
        hostiles.sockets.push_back(socket);
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    hostiles.note = std::to_string(hostiles.closedByServer()) + " of " +
                    std::to_string(hostiles.sockets.size()) + " closed at once (surplus)";
}

bool freshClientServed() {
    client::Client client;
    client.setLocalAddress(WELL_ADDRESS);
    if (!client.connect(3000)) return false;
    client.connection().setTimeout(3000);
    bool ok = client.login("GUEST", "").ok();
    client.quit();
    return ok;
}

}  // namespace
}  // namespace vextora::bench

int main(int argc, char** argv) {
    using namespace vextora::bench;
    if (argc < 2) {
        std::fprintf(stderr, "usage: hostile_clients PID [SECONDS_PER_PATTERN]\n");
        return 2;
    }
    pid_t pid = static_cast<pid_t>(std::atol(argv[1]));
    int seconds = argc > 2 ? std::atoi(argv[2]) : 10;
    raiseDescriptorLimit();

    Prober prober;
    prober.start();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    ProcessSample base = sampleProcess(pid);
    std::printf("server at rest: %d descriptors, %.1f MB resident\n", base.descriptors,
                base.residentKb / 1024.0);

    struct Named {
        const char* name;
        Pattern run;
        Step prepare = nullptr;
        Step tidy = nullptr;
    };
    const Named patterns[] = {
        {"half frames", halfFrames},
        {"4 GiB headers", hugeHeaders},
        {"unread downloads", stuckDownloaders},
        {"unread replies", unreadReplies},
        {"unread long listings",
         [pid](Hostiles& hostiles, Clock::time_point until) {
             unreadLongListings(hostiles, until, pid);
         },
         publishLongCatalog, withdrawLongCatalog},
        {"descriptors run out", exhaustDescriptors},
        {"stray transfers", strayTransfers},
    };
    bool allOk = true;
    for (const auto& pattern : patterns) {
        if (pattern.prepare && !pattern.prepare()) {
            std::printf("%-20s could not be set up | FAILED\n", pattern.name);
            allOk = false;
            continue;
        }
        auto start = Clock::now();
        auto until = start + std::chrono::seconds(seconds);
        ProcessSample peak = sampleProcess(pid);
        Hostiles hostiles;
        std::thread sampler([&] {
            while (Clock::now() < until) {
                ProcessSample now = sampleProcess(pid);
                peak.descriptors = std::max(peak.descriptors, now.descriptors);
                peak.residentKb = std::max(peak.residentKb, now.residentKb);
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });
        pattern.run(hostiles, until);
        std::this_thread::sleep_until(until);
        sampler.join();
        auto end = Clock::now();
        hostiles.closeAll();
        if (pattern.tidy && !pattern.tidy()) hostiles.note += " (not tidied away) FAIL";

        // Back to where it started: give held transfer connections their time.
        ProcessSample after = sampleProcess(pid);
        auto recoveryStart = Clock::now();
        auto recovered = [&] {
            return after.descriptors <= base.descriptors * RECOVERY_MARGIN &&
                   after.residentKb <= base.residentKb * RECOVERY_MARGIN;
        };
        while (after.alive && !recovered() &&
               Clock::now() < recoveryStart + std::chrono::seconds(RECOVERY_WAIT_S)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            after = sampleProcess(pid);
        }
        double recoverySeconds = millisecondsSince(recoveryStart) / 1000;
        bool served = after.alive && freshClientServed();

        int failures = 0;
        std::vector<double> latencies = prober.window(start, end, &failures);
        double p50 = percentile(latencies, 50), p99 = percentile(latencies, 99);
        bool ok = after.alive && served && recovered() && failures == 0 &&
                  p99 <= LATENCY_LIMIT_MS && hostiles.note.find("FAIL") == std::string::npos;
        allOk = allOk && ok;
        std::printf(
            "%-20s %5d hostile (%s) | well-behaved: %zu requests, p50 %.2f ms, p99 %.2f ms, "
            "max %.2f ms, %d failed | descriptors %d -> %d -> %d, memory %.1f -> %.1f -> %.1f MB "
            "(back in %.1f s) | %s\n",
            pattern.name, hostiles.attempted, hostiles.note.c_str(), latencies.size(), p50, p99,
            percentile(latencies, 100), failures, base.descriptors, peak.descriptors,
            after.descriptors, base.residentKb / 1024.0, peak.residentKb / 1024.0,
            after.residentKb / 1024.0, recoverySeconds, ok ? "ok" : "FAILED");
        std::fflush(stdout);
        if (!after.alive) break;
    }
    prober.stop();
    std::printf("well-behaved downloads during the patterns: %d, %d failed\n", prober.transfers(),
                prober.failedTransfers());
    if (prober.failedTransfers() > 0) allOk = false;
    std::printf("hostile clients: %s\n", allOk ? "every limit held" : "LIMIT MISSED");
    return allOk ? 0 : 1;
}
