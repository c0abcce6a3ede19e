// bench_client: the client side of bench/run.sh. It speaks three protocols
// with one data path, so that the servers are compared and not the clients:
//   vextora  our control and transfer ports
//   ftp      passive-mode FTP, anonymous login (the vsftpd peer)
//   http     HTTP/1.1 keep-alive GET and PUT (the nginx peer)
// Downloads read into one buffer and drop the bytes; uploads send from one
// buffer in memory. Nothing touches a disk on this side.
//
//   bench_client PROTO PORT download NAME RUNS
//   bench_client PROTO PORT upload NAME BYTES RUNS
//   bench_client PROTO PORT concurrent NAME CLIENTS SECONDS
//   bench_client PROTO PORT stuck NAME STUCK RUNS
//   bench_client latency COUNT BLOCK LEAD LABEL=PROTO:PORT:NAME...
//   bench_client PROTO PORT idle COUNT SECONDS
// Each prints "key value" lines (MiB/s, microseconds, requests per second;
// latency puts the target's LABEL first) for the script to take medians of.
// Every wait has a deadline.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "server/protocol.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t BUFFER_SIZE = 1 << 20;  // the largest piece a client may ask for
constexpr int IO_TIMEOUT_MS = 30000;

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "bench_client: %s (%s)\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

double seconds(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

double mibPerSecond(std::uint64_t bytes, double elapsed) {
    return static_cast<double>(bytes) / (1024.0 * 1024.0) / elapsed;
}

// ---- Sockets ----

// Connects to 127.0.0.1:port from `local` (a loopback address, port chosen
// at connect time so thousands of connections can share one source address).
int connectTo(std::uint16_t port, const std::string& local = "127.0.0.1") {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) die("socket");
    int on = 1;
    ::setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, local.c_str(), &from.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) die("bind " + local);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
        die("connect to port " + std::to_string(port));
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

bool waitFor(int fd, short events, int timeoutMs) {
    pollfd entry{fd, events, 0};
    for (;;) {
        int ready = ::poll(&entry, 1, timeoutMs);
        if (ready < 0 && errno == EINTR) continue;
        return ready > 0;
    }
}

void sendAll(int fd, const void* data, std::size_t length) {
    auto* bytes = static_cast<const char*>(data);
    while (length > 0) {
        ssize_t sent = ::send(fd, bytes, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) die("send");
        bytes += sent;
        length -= static_cast<std::size_t>(sent);
    }
}

void sendText(int fd, std::string_view text) {
    sendAll(fd, text.data(), text.size());
}

void receiveExact(int fd, void* buffer, std::size_t length) {
    auto* bytes = static_cast<char*>(buffer);
    while (length > 0) {
        if (!waitFor(fd, POLLIN, IO_TIMEOUT_MS)) die("no reply in time");
        ssize_t got = ::recv(fd, bytes, length, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) die("connection closed early");
        bytes += got;
        length -= static_cast<std::size_t>(got);
    }
}

// Reads until the peer closes, dropping the bytes. Blocking reads: the
// connection carries nothing else.
std::uint64_t drainToClose(int fd, std::uint8_t* buffer) {
    std::uint64_t total = 0;
    for (;;) {
        ssize_t got = ::recv(fd, buffer, BUFFER_SIZE, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) die("receive");
        if (got == 0) return total;
        total += static_cast<std::uint64_t>(got);
    }
}

void drainExact(int fd, std::uint8_t* buffer, std::uint64_t length) {
    while (length > 0) {
        ssize_t got = ::recv(fd, buffer, std::min<std::uint64_t>(length, BUFFER_SIZE), 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) die("body ended early");
        length -= static_cast<std::uint64_t>(got);
    }
}

void sendFromMemory(int fd, const std::uint8_t* buffer, std::uint64_t length) {
    while (length > 0) {
        std::size_t piece = std::min<std::uint64_t>(length, BUFFER_SIZE);
        sendAll(fd, buffer, piece);
        length -= piece;
    }
}

// ---- One client session, per protocol ----

// A connected, logged-in client of one of the three servers.
class Session {
public:
    virtual ~Session() = default;
    // Downloads NAME; returns the bytes received (checked against the size
    // the server announced).
    virtual std::uint64_t download(const std::string& name, std::uint8_t* buffer) = 0;
    virtual void upload(const std::string& name, std::uint64_t size, const std::uint8_t* data) = 0;
    // Starts a download and never reads it; the connections stay open.
    virtual void startStuckDownload(const std::string& name) = 0;
    // One small request about a file, and its whole reply.
    virtual void smallRequest(const std::string& name) = 0;
    // One request that touches no file, and its reply.
    virtual void trivialRequest() = 0;
};

class VextoraSession final : public Session {
public:
    VextoraSession(std::uint16_t port, std::string local, bool uploader)
        : port_(port), local_(std::move(local)) {
        control_ = connectTo(port_, local_);
        if (uploader) {
            frame(std::string{char(vextora::REQ_CREATE_ACCOUNT)} + text("BENCH") + text("pw"));
            readByte();  // 18, or 21 when it exists already
            login("BENCH", "pw");
        } else {
            login("GUEST", "pw");
        }
    }
    ~VextoraSession() override {
        for (int fd : stuck_) ::close(fd);
        ::close(control_);
    }

    std::uint64_t download(const std::string& name, std::uint8_t* buffer) override {
        int data = requestDownload(name);
        std::uint8_t size[4];
        receiveExact(control_, size, 4);
        std::uint32_t announced = (std::uint32_t{size[0]} << 24) | (std::uint32_t{size[1]} << 16) |
                                  (std::uint32_t{size[2]} << 8) | size[3];
        if (announced == vextora::SIZE_UNAVAILABLE) die("server cannot open " + name);
        std::uint64_t got = drainToClose(data, buffer);
        ::close(data);
        if (got != announced)
            die("short download: " + std::to_string(got) + " of " + std::to_string(announced));
        return got;
    }

    void upload(const std::string& name, std::uint64_t size, const std::uint8_t* data) override {
        frame(std::string{char(vextora::REQ_UPLOAD)} + text(name) + int32(BUFFER_SIZE) +
              int32(static_cast<std::uint32_t>(size)));
        int transfer = connectTo(port_ + 1, local_);
        sendFromMemory(transfer, data, size);
        ::shutdown(transfer, SHUT_WR);
        std::uint8_t reply = readByte();
        ::close(transfer);
        if (reply != vextora::REPLY_OK) die("upload answered " + std::to_string(reply));
    }

    void startStuckDownload(const std::string& name) override {
        stuck_.push_back(requestDownload(name));
        std::uint8_t size[4];
        receiveExact(control_, size, 4);
    }

    void smallRequest(const std::string& name) override {
        frame(std::string{char(vextora::REQ_FILE_INFO)} + text(name));
        std::uint8_t reply[5];
        receiveExact(control_, reply, sizeof reply);
        if (reply[0] == 0xFF && reply[1] == 0xFF) die("file info: no such file " + name);
    }

    // A login while logged in: refused at the gate, no file touched.
    void trivialRequest() override {
        frame(std::string{char(vextora::REQ_LOGIN)} + text("BENCH") + text("pw"));
        if (readByte() != vextora::REPLY_FAILED) die("a second login was not refused");
    }

private:
    static std::string text(std::string_view value) {
        return std::string(1, static_cast<char>(value.size())) + std::string(value);
    }
    static std::string int32(std::uint32_t value) {
        return {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
    }
    void frame(const std::string& payload) {
        // One write for header and payload, as a real client sends it.
        sendText(control_, int32(static_cast<std::uint32_t>(payload.size())) + payload);
    }
    std::uint8_t readByte() {
        std::uint8_t byte;
        receiveExact(control_, &byte, 1);
        return byte;
    }
    void login(std::string_view name, std::string_view password) {
        frame(std::string{char(vextora::REQ_LOGIN)} + text(name) + text(password));
        if (readByte() != vextora::REPLY_OK) die("login refused");
    }
    int requestDownload(const std::string& name) {
        frame(std::string{char(vextora::REQ_DOWNLOAD)} + text(name) + int32(BUFFER_SIZE) +
              std::string(1, '\0'));
        return connectTo(port_ + 1, local_);
    }

    std::uint16_t port_;
    std::string local_;
    int control_;
    std::vector<int> stuck_;
};

class FtpSession final : public Session {
public:
    FtpSession(std::uint16_t port, std::string local) : local_(std::move(local)) {
        control_ = connectTo(port, local_);
        expect(220);
        // Without a password prompt configured, USER alone logs in.
        sendText(control_, "USER anonymous\r\n");
        if (readCode() == 331) command("PASS bench", 230);
        command("TYPE I", 200);
    }
    ~FtpSession() override {
        for (int fd : stuck_) ::close(fd);
        ::close(control_);
    }

    std::uint64_t download(const std::string& name, std::uint8_t* buffer) override {
        int data = passive();
        command("RETR " + name, 150);
        std::uint64_t got = drainToClose(data, buffer);
        ::close(data);
        expect(226);
        return got;
    }

    void upload(const std::string& name, std::uint64_t size, const std::uint8_t* bytes) override {
        int data = passive();
        command("STOR " + name, 150);
        sendFromMemory(data, bytes, size);
        ::close(data);
        expect(226);
    }

    void startStuckDownload(const std::string& name) override {
        stuck_.push_back(passive());
        command("RETR " + name, 150);
    }

    void smallRequest(const std::string& name) override { command("SIZE " + name, 213); }
    void trivialRequest() override { command("NOOP", 200); }

private:
    int readCode() {
        for (;;) {
            std::string line = readLine();
            if (line.size() >= 4 && line[3] == ' ') return std::atoi(line.c_str());
        }
    }
    // Reads one reply (the last line of a multi-line one) and checks its code.
    std::string expect(int code) {
        for (;;) {
            std::string line = readLine();
            if (line.size() >= 4 && line[3] == ' ') {
                if (std::atoi(line.c_str()) != code)
                    die("FTP expected " + std::to_string(code) + ", got: " + line);
                return line;
            }
        }
    }
    std::string command(const std::string& line, int code) {
        sendText(control_, line + "\r\n");
        return expect(code);
    }
    std::string readLine() {
        for (;;) {
            std::size_t end = pending_.find("\r\n");
            if (end != std::string::npos) {
                std::string line = pending_.substr(0, end);
                pending_.erase(0, end + 2);
                return line;
            }
            char chunk[512];
            if (!waitFor(control_, POLLIN, IO_TIMEOUT_MS)) die("FTP: no reply in time");
            ssize_t got = ::recv(control_, chunk, sizeof chunk, 0);
            if (got <= 0) die("FTP control connection closed");
            pending_.append(chunk, static_cast<std::size_t>(got));
        }
    }
    int passive() {
        std::string reply = command("PASV", 227);
        unsigned h1, h2, h3, h4, p1, p2;
        std::size_t open = reply.find('(');
        if (open == std::string::npos || std::sscanf(reply.c_str() + open, "(%u,%u,%u,%u,%u,%u)",
                                                     &h1, &h2, &h3, &h4, &p1, &p2) != 6)
            die("FTP: cannot read " + reply);
        return connectTo(static_cast<std::uint16_t>(p1 * 256 + p2), local_);
    }

    std::string local_;
    int control_;
    std::string pending_;
    std::vector<int> stuck_;
};

class HttpSession final : public Session {
public:
    HttpSession(std::uint16_t port, std::string local) : port_(port), local_(std::move(local)) {
        connection_ = connectTo(port_, local_);
    }
    ~HttpSession() override {
        for (int fd : stuck_) ::close(fd);
        ::close(connection_);
    }

    std::uint64_t download(const std::string& name, std::uint8_t* buffer) override {
        sendText(connection_, "GET /" + name + " HTTP/1.1\r\nHost: bench\r\n\r\n");
        std::uint64_t length = readHead(connection_, 200);
        drainExact(connection_, buffer, length - takeBuffered(length));
        return length;
    }

    void upload(const std::string& name, std::uint64_t size, const std::uint8_t* data) override {
        sendText(connection_, "PUT /up/" + name + " HTTP/1.1\r\nHost: bench\r\nContent-Length: " +
                                  std::to_string(size) + "\r\n\r\n");
        sendFromMemory(connection_, data, size);
        std::uint64_t length = readHead(connection_, 0);
        takeBuffered(length);
    }

    void startStuckDownload(const std::string& name) override {
        int fd = connectTo(port_, local_);
        sendText(fd, "GET /" + name + " HTTP/1.1\r\nHost: bench\r\n\r\n");
        stuck_.push_back(fd);
    }

    void smallRequest(const std::string& name) override {
        sendText(connection_, "GET /" + name + " HTTP/1.1\r\nHost: bench\r\n\r\n");
        std::uint64_t length = readHead(connection_, 200);
        std::uint64_t buffered = takeBuffered(length);
        if (buffered < length) {
            std::vector<std::uint8_t> rest(length - buffered);
            receiveExact(connection_, rest.data(), rest.size());
        }
    }

    // Answered by the configuration alone (204, no body).
    void trivialRequest() override {
        sendText(connection_, "GET /ping HTTP/1.1\r\nHost: bench\r\n\r\n");
        takeBuffered(readHead(connection_, 204));
    }

private:
    // Reads a response head; returns its Content-Length. A code of 0 takes
    // any 2xx.
    std::uint64_t readHead(int fd, int code) {
        for (;;) {
            std::size_t end = pending_.find("\r\n\r\n");
            if (end != std::string::npos) {
                std::string head = pending_.substr(0, end);
                pending_.erase(0, end + 4);
                int status = std::atoi(head.c_str() + 9);
                if (code != 0 ? status != code : (status < 200 || status > 299))
                    die("HTTP: " + head.substr(0, head.find('\r')));
                std::size_t field = head.find("Content-Length: ");
                return field == std::string::npos
                           ? 0
                           : std::strtoull(head.c_str() + field + 16, nullptr, 10);
            }
            char chunk[4096];
            if (!waitFor(fd, POLLIN, IO_TIMEOUT_MS)) die("HTTP: no reply in time");
            ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
            if (got <= 0) die("HTTP connection closed");
            pending_.append(chunk, static_cast<std::size_t>(got));
        }
    }
    // Body bytes that arrived with the head.
    std::uint64_t takeBuffered(std::uint64_t length) {
        std::size_t taken = std::min<std::uint64_t>(pending_.size(), length);
        pending_.erase(0, taken);
        return taken;
    }

    std::uint16_t port_;
    std::string local_;
    int connection_;
    std::string pending_;
    std::vector<int> stuck_;
};

// A client that runs alone uses an address of its own too, so that other
// programs' connections to the same ports on this machine never meet its own.
constexpr const char* SOLE_CLIENT = "127.0.0.254";

std::unique_ptr<Session> openSession(const std::string& protocol, std::uint16_t port,
                                     const std::string& local = SOLE_CLIENT,
                                     bool uploader = false) {
    if (protocol == "vextora") return std::make_unique<VextoraSession>(port, local, uploader);
    if (protocol == "ftp") return std::make_unique<FtpSession>(port, local);
    if (protocol == "http") return std::make_unique<HttpSession>(port, local);
    die("unknown protocol " + protocol);
}

// Client k of a test uses its own loopback address, so that servers which
// match connections by address never have to tell our clients apart.
std::string localAddress(int k) {
    return "127.0.0." + std::to_string(2 + k % 250);
}

std::unique_ptr<std::uint8_t[]> makeBuffer() {
    auto buffer = std::make_unique<std::uint8_t[]>(BUFFER_SIZE);
    for (std::size_t i = 0; i < BUFFER_SIZE; ++i) buffer[i] = static_cast<std::uint8_t>(i * 131);
    return buffer;
}

// ---- Commands ----

void download(const std::string& protocol, std::uint16_t port, const std::string& name, int runs) {
    auto buffer = makeBuffer();
    auto session = openSession(protocol, port);
    for (int run = 0; run < runs; ++run) {
        auto start = Clock::now();
        std::uint64_t bytes = session->download(name, buffer.get());
        std::printf("download_mibps %.1f\n", mibPerSecond(bytes, seconds(start, Clock::now())));
        std::fflush(stdout);
    }
}

void upload(const std::string& protocol, std::uint16_t port, const std::string& name,
            std::uint64_t size, int runs) {
    auto buffer = makeBuffer();
    auto session = openSession(protocol, port, SOLE_CLIENT, true);
    for (int run = 0; run < runs; ++run) {
        auto start = Clock::now();
        session->upload(name, size, buffer.get());
        std::printf("upload_mibps %.1f\n", mibPerSecond(size, seconds(start, Clock::now())));
        std::fflush(stdout);
    }
}

void concurrent(const std::string& protocol, std::uint16_t port, const std::string& name,
                int clients, double duration) {
    std::atomic<std::uint64_t> total{0};
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    auto until = std::make_shared<Clock::time_point>();
    std::vector<std::thread> threads;
    for (int k = 0; k < clients; ++k) {
        threads.emplace_back([&, k] {
            auto buffer = makeBuffer();
            auto session = openSession(protocol, port, localAddress(k));
            ++ready;
            while (!go.load()) std::this_thread::yield();
            std::uint64_t mine = 0;
            while (Clock::now() < *until) mine += session->download(name, buffer.get());
            total += mine;
        });
    }
    while (ready.load() < clients) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    auto start = Clock::now();
    *until = start +
             std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(duration));
    go = true;
    for (auto& thread : threads) thread.join();
    // Every download runs to its end, so the time is the last one's finish.
    double elapsed = seconds(start, Clock::now());
    std::printf("concurrent_mibps %.1f\n", mibPerSecond(total.load(), elapsed));
}

void stuck(const std::string& protocol, std::uint16_t port, const std::string& name, int count,
           int runs) {
    auto buffer = makeBuffer();
    auto measured = openSession(protocol, port, localAddress(0));
    auto once = [&] {
        auto start = Clock::now();
        std::uint64_t bytes = measured->download(name, buffer.get());
        return mibPerSecond(bytes, seconds(start, Clock::now()));
    };
    for (int run = 0; run < runs; ++run) std::printf("alone_mibps %.1f\n", once());
    std::vector<std::unique_ptr<Session>> blockers;
    for (int k = 1; k <= count; ++k) {
        blockers.push_back(openSession(protocol, port, localAddress(k)));
        blockers.back()->startStuckDownload(name);
    }
    // Let the stuck downloads fill every buffer between them and the server.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    for (int run = 0; run < runs; ++run) std::printf("stuck_mibps %.1f\n", once());
}

// The small-request round trip of several servers in one run. Each server
// gets one session; its two kinds of request (about the file NAME, and one
// that touches no file) are each measured COUNT times. The (server, kind)
// pairs take turns of BLOCK timed requests, and the order of the turns
// rotates every cycle, so whatever else the machine does during the run
// falls on every server alike: runs taken per server one after another would
// give one server a busy second and the next a quiet one. Each turn starts
// with LEAD requests that are not timed, so that no server is measured waking
// up from the other servers' turns.
struct LatencyTarget {
    std::string label;
    std::unique_ptr<Session> session;
    std::string name;
};

void latency(std::vector<LatencyTarget>& targets, int count, int block, int lead) {
    struct Measure {
        LatencyTarget* target;
        bool trivial;
        std::vector<double> micros;
        double elapsed;
    };
    std::vector<Measure> measures;
    for (auto& target : targets) {
        measures.push_back({&target, false, {}, 0.0});
        measures.push_back({&target, true, {}, 0.0});
    }
    auto request = [](Measure& m) {
        if (m.trivial)
            m.target->session->trivialRequest();
        else
            m.target->session->smallRequest(m.target->name);
    };
    for (auto& m : measures) {
        m.micros.reserve(static_cast<std::size_t>(count));
        for (int i = 0; i < std::min(count, 2000); ++i) request(m);  // warm up
    }
    int cycles = (count + block - 1) / block;
    for (int cycle = 0; cycle < cycles; ++cycle) {
        for (std::size_t turn = 0; turn < measures.size(); ++turn) {
            auto& m = measures[(turn + static_cast<std::size_t>(cycle)) % measures.size()];
            for (int i = 0; i < lead; ++i) request(m);
            int todo = std::min(block, count - static_cast<int>(m.micros.size()));
            auto start = Clock::now();
            auto before = start;
            for (int i = 0; i < todo; ++i) {
                request(m);
                auto after = Clock::now();
                m.micros.push_back(std::chrono::duration<double, std::micro>(after - before).count());
                before = after;
            }
            m.elapsed += seconds(start, before);
        }
    }
    for (auto& m : measures) {
        std::sort(m.micros.begin(), m.micros.end());
        auto at = [&](double q) {
            return m.micros[static_cast<std::size_t>(q * static_cast<double>(m.micros.size() - 1))];
        };
        const char* label = m.target->label.c_str();
        const char* kind = m.trivial ? "trivial_" : "";
        std::printf("%s %sp50_us %.1f\n%s %sp99_us %.1f\n%s %srps %.0f\n", label, kind, at(0.50),
                    label, kind, at(0.99), label, kind,
                    static_cast<double>(m.micros.size()) / m.elapsed);
    }
}

// Opens COUNT connections that never send a byte, spread over loopback
// source addresses, and holds them for SECONDS (or until SIGTERM). A server
// that greets (FTP) is connected once its greeting has arrived: a server that
// forks per client takes them slowly, and connections beyond its listen queue
// would only look established from this side.
void idle(const std::string& protocol, std::uint16_t port, int count, int holdSeconds) {
    std::vector<int> held;
    held.reserve(static_cast<std::size_t>(count));
    bool greets = protocol == "ftp";
    const int IN_FLIGHT = greets ? 16 : 256;
    std::vector<pollfd> connecting;
    int started = 0;
    auto deadline = Clock::now() + std::chrono::seconds(120);
    while (static_cast<int>(held.size()) < count) {
        while (started < count && static_cast<int>(connecting.size()) < IN_FLIGHT) {
            int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            if (fd < 0) die("socket (descriptor limit?)");
            int on = 1;
            ::setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
            sockaddr_in from{};
            from.sin_family = AF_INET;
            ::inet_pton(AF_INET, localAddress(started).c_str(), &from.sin_addr);
            if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) die("bind");
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(port);
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 &&
                errno != EINPROGRESS)
                die("connect");
            connecting.push_back({fd, static_cast<short>(greets ? POLLIN : POLLOUT), 0});
            ++started;
        }
        if (::poll(connecting.data(), connecting.size(), 1000) < 0 && errno != EINTR) die("poll");
        for (std::size_t i = 0; i < connecting.size();) {
            if (connecting[i].revents == 0) {
                ++i;
                continue;
            }
            int error = 0;
            socklen_t length = sizeof error;
            ::getsockopt(connecting[i].fd, SOL_SOCKET, SO_ERROR, &error, &length);
            if (error != 0) {
                errno = error;
                die("idle connection failed");
            }
            if (greets) {
                char greeting[512];
                if (::recv(connecting[i].fd, greeting, sizeof greeting, 0) <= 0)
                    die("closed before its greeting");
            }
            held.push_back(connecting[i].fd);
            connecting[i] = connecting.back();
            connecting.pop_back();
        }
        if (Clock::now() > deadline) die("idle connections took too long");
    }
    std::printf("connected %d\n", count);
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(holdSeconds));
}

void raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// LABEL=PROTO:PORT:NAME, connected and logged in.
bool addLatencyTarget(std::vector<LatencyTarget>& targets, const std::string& given) {
    auto equals = given.find('=');
    if (equals == std::string::npos) return false;
    auto colon = given.find(':', equals);
    if (colon == std::string::npos) return false;
    auto last = given.find(':', colon + 1);
    if (last == std::string::npos) return false;
    std::string protocol = given.substr(equals + 1, colon - equals - 1);
    auto port = static_cast<std::uint16_t>(std::atoi(given.substr(colon + 1).c_str()));
    if (equals == 0 || port == 0 || last + 1 == given.size()) return false;
    targets.push_back({given.substr(0, equals), openSession(protocol, port, SOLE_CLIENT, true),
                       given.substr(last + 1)});
    return true;
}

int usage() {
    std::fputs(
        "usage: bench_client vextora|ftp|http PORT COMMAND ...\n"
        "  download NAME RUNS | upload NAME BYTES RUNS | concurrent NAME CLIENTS SECONDS\n"
        "  stuck NAME STUCK RUNS | idle COUNT SECONDS\n"
        "usage: bench_client latency COUNT BLOCK LEAD LABEL=PROTO:PORT:NAME...\n",
        stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return usage();
    ::signal(SIGPIPE, SIG_IGN);
    raiseDescriptorLimit();
    if (std::string_view(argv[1]) == "latency") {
        if (argc < 6) return usage();
        int count = std::atoi(argv[2]), block = std::atoi(argv[3]), lead = std::atoi(argv[4]);
        if (count < 1 || block < 1 || lead < 0) return usage();
        std::vector<LatencyTarget> targets;
        for (int i = 5; i < argc; ++i)
            if (!addLatencyTarget(targets, argv[i])) return usage();
        latency(targets, count, block, lead);
        return 0;
    }
    std::string protocol = argv[1];
    auto port = static_cast<std::uint16_t>(std::atoi(argv[2]));
    std::string command = argv[3];
    std::vector<std::string> args(argv + 4, argv + argc);
    auto number = [&](std::size_t i) { return std::atoll(args.at(i).c_str()); };
    if (command == "download" && args.size() == 2) {
        download(protocol, port, args[0], static_cast<int>(number(1)));
    } else if (command == "upload" && args.size() == 3) {
        upload(protocol, port, args[0], static_cast<std::uint64_t>(number(1)),
               static_cast<int>(number(2)));
    } else if (command == "concurrent" && args.size() == 3) {
        concurrent(protocol, port, args[0], static_cast<int>(number(1)),
                   std::atof(args[2].c_str()));
    } else if (command == "stuck" && args.size() == 3) {
        stuck(protocol, port, args[0], static_cast<int>(number(1)), static_cast<int>(number(2)));
    } else if (command == "idle" && args.size() == 2) {
        idle(protocol, port, static_cast<int>(number(0)), static_cast<int>(number(1)));
    } else {
        return usage();
    }
    return 0;
}
