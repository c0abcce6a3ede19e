// Crash consistency: the real server is killed with SIGKILL at a random
// moment while clients create accounts, publish and withdraw catalog lines
// and upload files. After each restart nothing the server acknowledged may
// be missing and nothing may be half written:
//  - every account answered 18 is a whole record of users.dat and logs in;
//  - every catalog line whose presence (or absence) a later reply showed is
//    present (or absent), and shared.dat holds whole CR LF lines only;
//  - every file is exactly one of the uploads made to its name, and the one
//    answered 18 last, or a later one;
//  - no upload or catalog temporary is left once the server has started.
//
//   crash_trials SERVER_BINARY DATA_FOLDER [TRIALS] [SEED]
// DATA_FOLDER must be empty; it is used for all trials in turn. Exits 1 at
// the first trial whose checks fail.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "client/client.h"
#include "driver_support.h"

namespace vextora::bench {
namespace {

namespace fs = std::filesystem;

constexpr int WRITERS = 4;
constexpr int UPLOAD_NAMES = 3;
constexpr std::size_t LARGEST_UPLOAD = 2 << 20;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string content(std::uint32_t seed, std::size_t size) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (auto& byte : bytes) byte = static_cast<char>(generator());
    return bytes;
}

// What the clients were told, across all trials.
struct Ledger {
    std::mutex mutex;
    std::map<std::string, std::string> accounts;  // acknowledged: name -> password
    std::vector<std::string> newAccounts;         // acknowledged in the last trial
    // Catalog lines whose state a reply showed: true present, false absent.
    // A line whose state changed after the last reply showing it is absent
    // from the map (either state is allowed).
    std::map<std::string, bool> lines;
    struct Versions {
        std::vector<std::pair<std::uint32_t, std::size_t>> issued;  // (seed, size), in order
        int acknowledged = -1;                                      // index into issued
    };
    std::map<std::string, Versions> uploads;  // "Users/W0/u1" -> versions
};

class ServerRun {
public:
    ServerRun(std::string binary, std::string folder)
        : binary_(std::move(binary)), folder_(std::move(folder)) {}
    ~ServerRun() { kill(SIGKILL); }

    bool start() {
        pid_ = ::fork();
        if (pid_ == 0) {
            if (::chdir(folder_.c_str()) != 0) ::_exit(127);
            ::execl(binary_.c_str(), binary_.c_str(), "--headless", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        auto deadline = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < deadline) {
            // Gone already: it could not take the port (another program has it).
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            TcpSocket probe = connectFrom("127.0.0.1", CONTROL_PORT, 200);
            if (probe.isOpen()) {
                closeAbruptly(probe);
                // Still alive a moment later: the listener is ours, not
                // another program's that this one failed to bind beside.
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                    pid_ = -1;
                    return false;
                }
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    // Sends the signal and waits for the end; the exit code, or -signal.
    int kill(int signal) {
        if (pid_ <= 0) return 0;
        ::kill(pid_, signal);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }

private:
    std::string binary_;
    std::string folder_;
    pid_t pid_ = -1;
};

// Holds the fixed ports while the server is down between two trials, so
// that no other program takes them in the gap.
class PortKeeper {
public:
    bool hold() {
        control_ = TcpSocket(true);
        transfer_ = TcpSocket(true);
        return control_.bindAndListen(CONTROL_PORT, 1) && transfer_.bindAndListen(TRANSFER_PORT, 1);
    }
    void release() {
        control_.release();
        transfer_.release();
    }

private:
    TcpSocket control_;
    TcpSocket transfer_;
};

// One client for one trial: its own address and account, random work until
// the server goes away.
void write(int writer, int trial, std::uint64_t seed, Ledger& ledger, std::atomic<long>& work) {
    std::mt19937_64 random(seed);
    auto pick = [&](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(random);
    };
    // Addresses of their own: transfer connections are matched by address,
    // and another program on this machine may use the common ones.
    std::string address = "127.0.5." + std::to_string(writer + 1);
    std::string account = "W" + std::to_string(writer);
    client::Client client;
    client.setLocalAddress(address);
    if (!client.connect(3000)) return;
    client.connection().setTimeout(5000);
    if (!client.login(account, "pw").ok()) return;
    for (int step = 0;; ++step) {
        int roll = pick(0, 9);
        if (roll < 4) {
            std::string name = "T" + std::to_string(trial) + "W" + std::to_string(writer) + "N" +
                               std::to_string(step);
            std::string password = "p" + std::to_string(random() % 100000);
            auto status = client.createAccount(name, password);
            if (status.kind == client::Status::ConnectionLost) return;
            if (!status.ok()) {
                std::fprintf(stderr, "account %s refused: %s\n", name.c_str(),
                             status.message.c_str());
                return;
            }
            std::lock_guard<std::mutex> lock(ledger.mutex);
            ledger.accounts[name] = password;
            ledger.newAccounts.push_back(name);
        } else if (roll < 7) {
            std::string name = "s" + std::to_string(pick(0, 15));
            std::string line = account + "\\" + name;
            bool on = pick(0, 2) != 0;
            {
                std::lock_guard<std::mutex> lock(ledger.mutex);
                ledger.lines.erase(line);  // unknown from the moment it is sent
            }
            if (!client.setShared(name, on)) return;
            // The file information's flag shows the catalog after the change.
            auto info = client.fileInfo(name);
            if (!info) return;
            std::lock_guard<std::mutex> lock(ledger.mutex);
            ledger.lines[line] = info->shared;
            if (info->shared != on)
                std::fprintf(stderr, "catalog line %s: flag wrong\n", line.c_str());
        } else {
            std::string name = "u" + std::to_string(pick(0, UPLOAD_NAMES - 1));
            std::string key = "Users/" + account + "/" + name;
            auto fileSeed = static_cast<std::uint32_t>(random());
            std::size_t size = static_cast<std::size_t>(pick(0, LARGEST_UPLOAD));
            std::size_t index;
            {
                std::lock_guard<std::mutex> lock(ledger.mutex);
                auto& versions = ledger.uploads[key];
                versions.issued.push_back({fileSeed, size});
                index = versions.issued.size() - 1;
            }
            std::string bytes = content(fileSeed, size);
            std::size_t offset = 0;
            client::TransferOptions options;
            options.pieceSize = 65536;
            options.connectTimeoutMs = 2000;
            auto status = client.upload(
                name, static_cast<std::uint32_t>(size),
                [&](std::uint8_t* buffer, std::size_t capacity) -> long {
                    std::size_t n = std::min(capacity, bytes.size() - offset);
                    std::memcpy(buffer, bytes.data() + offset, n);
                    offset += n;
                    return static_cast<long>(n);
                },
                options);
            if (!status.ok()) return;
            std::lock_guard<std::mutex> lock(ledger.mutex);
            ledger.uploads[key].acknowledged = static_cast<int>(index);
        }
        ++work;
    }
}

// The checks after a restart. Empty when all held.
std::string verify(const fs::path& folder, Ledger& ledger, std::mt19937_64& random) {
    std::string failures;
    auto fail = [&](const std::string& what) {
        if (failures.size() < 4000) failures += "  " + what + "\n";
    };

    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        std::string name = entry.path().filename().string();
        if (name.rfind(".vxtpart-", 0) == 0 || name == "vxttemp.tmp" || name == "vxtTemp.tmp")
            fail("temporary left after the start: " + entry.path().string());
    }

    // users.dat: whole CR LF lines, in (name, password) pairs.
    std::string users = readFile(folder / "users.dat");
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < users.size()) {
        std::size_t end = users.find("\r\n", start);
        if (end == std::string::npos || users.find('\n', start) < end) {
            fail("users.dat: a line that is not whole at byte " + std::to_string(start));
            break;
        }
        lines.push_back(users.substr(start, end - start));
        start = end + 2;
    }
    if (lines.size() % 2 != 0) fail("users.dat: a record without its password line");
    std::map<std::string, std::string> records;
    for (std::size_t i = 0; i + 1 < lines.size(); i += 2) records.emplace(lines[i], lines[i + 1]);
    std::vector<std::string> toLogIn;
    {
        std::lock_guard<std::mutex> lock(ledger.mutex);
        for (const auto& [name, password] : ledger.accounts) {
            auto record = records.find(name);
            if (record == records.end() || record->second != password)
                fail("acknowledged account " + name + " is not in users.dat as created");
        }
        toLogIn = ledger.newAccounts;
        std::vector<std::string> older;
        for (const auto& [name, password] : ledger.accounts) older.push_back(name);
        std::shuffle(older.begin(), older.end(), random);
        older.resize(std::min<std::size_t>(older.size(), 20));
        toLogIn.insert(toLogIn.end(), older.begin(), older.end());
        ledger.newAccounts.clear();
    }
    client::Client checker;
    checker.setLocalAddress("127.0.5.9");
    if (!checker.connect(3000)) {
        fail("no connection to the restarted server");
    } else {
        for (const auto& name : toLogIn) {
            auto status = checker.login(name, ledger.accounts[name]);
            if (!status.ok())
                fail("acknowledged account " + name + " cannot log in: " + status.message);
            checker.logout();
        }
        checker.quit();
    }

    // shared.dat: whole CR LF lines; acknowledged lines as they were shown.
    std::string catalog = readFile(folder / "shared.dat");
    std::set<std::string> present;
    start = 0;
    while (start < catalog.size()) {
        std::size_t end = catalog.find("\r\n", start);
        if (end == std::string::npos || catalog.find('\n', start) < end) {
            fail("shared.dat: a line that is not whole at byte " + std::to_string(start));
            break;
        }
        present.insert(catalog.substr(start, end - start));
        start = end + 2;
    }
    {
        std::lock_guard<std::mutex> lock(ledger.mutex);
        for (const auto& [line, shown] : ledger.lines) {
            if (present.contains(line) != shown)
                fail("catalog line " + line + (shown ? " lost" : " back after its withdrawal"));
        }
        // Uploads: exactly one version, never older than the acknowledged one.
        for (const auto& [key, versions] : ledger.uploads) {
            fs::path path = folder / key;
            bool exists = fs::exists(path);
            if (!exists) {
                if (versions.acknowledged >= 0) fail("acknowledged upload " + key + " is missing");
                continue;
            }
            std::string got = readFile(path);
            int match = -1;
            int first = std::max(versions.acknowledged, 0);
            for (int i = static_cast<int>(versions.issued.size()) - 1; i >= first; --i) {
                const auto& [seed, size] = versions.issued[static_cast<std::size_t>(i)];
                if (got.size() == size && got == content(seed, size)) {
                    match = i;
                    break;
                }
            }
            if (match < 0)
                fail(key + " (" + std::to_string(got.size()) +
                     " bytes) is none of the uploads it may be: half written or older than the "
                     "acknowledged one");
        }
    }
    return failures;
}

}  // namespace
}  // namespace vextora::bench

int main(int argc, char** argv) {
    using namespace vextora::bench;
    if (argc < 3) {
        std::fprintf(stderr, "usage: crash_trials SERVER_BINARY DATA_FOLDER [TRIALS] [SEED]\n");
        return 2;
    }
    std::string binary = argv[1];
    fs::path folder = argv[2];
    int trials = argc > 3 ? std::atoi(argv[3]) : 50;
    std::uint64_t seed = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 1;
    std::mt19937_64 random(seed);

    // The writers' own accounts, present from the start.
    {
        std::ofstream users(folder / "users.dat", std::ios::binary);
        for (int writer = 0; writer < WRITERS; ++writer) {
            users << "W" << writer << "\r\npw\r\n";
            fs::create_directories(folder / "Users" / ("W" + std::to_string(writer)));
        }
    }

    Ledger ledger;
    long totalWork = 0;
    double killMsTotal = 0;
    PortKeeper ports;
    int delayedStarts = 0;
    for (int trial = 1; trial <= trials + 1; ++trial) {
        ServerRun server(binary, folder.string());
        ports.release();
        // Another program may take the port in the moment it is free: wait
        // for it to go, and start again (the data folder is ours alone).
        int attempts = 1;
        while (!server.start()) {
            if (++attempts > 30) {
                std::printf("trial %d: the server did not start; another program holds the port\n",
                            trial);
                return 2;
            }
            ++delayedStarts;
            for (int wait = 0; wait < 600; ++wait) {
                vextora::TcpSocket probe = connectFrom("127.0.0.1", vextora::CONTROL_PORT, 200);
                if (!probe.isOpen()) break;
                closeAbruptly(probe);
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
        if (trial > 1) {
            std::string failures = verify(folder, ledger, random);
            if (!failures.empty()) {
                std::printf("after kill %d:\n%s", trial - 1, failures.c_str());
                return 1;
            }
        }
        if (trial > trials) {
            int code = server.kill(SIGTERM);
            if (code != 0) {
                std::printf("the server's stop gave exit code %d\n", code);
                return 1;
            }
            break;
        }
        std::atomic<long> work{0};
        std::vector<std::thread> writers;
        for (int writer = 0; writer < WRITERS; ++writer) {
            std::uint64_t writerSeed = random();
            writers.emplace_back(
                [&, writer, writerSeed] { write(writer, trial, writerSeed, ledger, work); });
        }
        int killAfterMs = std::uniform_int_distribution<int>(50, 1500)(random);
        std::this_thread::sleep_for(std::chrono::milliseconds(killAfterMs));
        server.kill(SIGKILL);
        ports.hold();
        for (auto& thread : writers) thread.join();
        totalWork += work.load();
        killMsTotal += killAfterMs;
    }

    std::size_t acknowledgedUploads = 0, issuedUploads = 0;
    for (const auto& [key, versions] : ledger.uploads) {
        issuedUploads += versions.issued.size();
        if (versions.acknowledged >= 0) ++acknowledgedUploads;
    }
    std::printf(
        "crash consistency: %d SIGKILL trials (kill after %.0f ms on average), %ld "
        "acknowledged operations; %zu accounts, %zu catalog lines with a known state, "
        "%zu uploads issued: nothing acknowledged lost, nothing half written, no "
        "temporary left\n",
        trials, killMsTotal / trials, totalWork, ledger.accounts.size(), ledger.lines.size(),
        issuedUploads);
    if (delayedStarts > 0)
        std::printf("(%d restarts waited for another program to free the port)\n", delayedStarts);
    return 0;
}
