#include "client/session.h"

#include <algorithm>
#include <filesystem>
#include <iomanip>
#include <optional>

#include "client/exit_codes.h"
#include "client/names.h"
#include "client/progress_meter.h"
#include "platform/file_system.h"
#include "platform/terminal.h"

namespace vextora::client {

namespace {

std::string transferSummary(const UserInfo& info) {
    if (info.direction == DIRECTION_NONE) return "none";
    std::string what = info.direction == DIRECTION_TO_SERVER ? "uploading " : "downloading ";
    return what + formatBytes(info.transferDone) + " of " + formatBytes(info.transferSize) +
           " at " + std::to_string(info.rateKBps) + " KiB/s";
}

}  // namespace

int exitCodeFor(const Status& status) {
    switch (status.kind) {
        case Status::Ok:
            return EXIT_DONE;
        case Status::Refused:
        case Status::NotAvailable:
            return EXIT_REFUSED;
        case Status::Invalid:
            return EXIT_USAGE;
        case Status::Cancelled:
            return EXIT_INTERRUPTED;
        case Status::ConnectionLost:
        case Status::ProtocolError:
        case Status::ShortTransfer:
        case Status::LocalError:
            break;
    }
    return EXIT_FAILED;
}

Session::Session(const Invocation& settings, const PasswordSource& passwords, Console& console)
    : settings_(settings),
      passwords_(passwords),
      console_(console),
      started_(std::chrono::steady_clock::now()) {}

Session::~Session() = default;

double Session::now() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
}

int Session::fail(int code, const std::string& message) {
    console_.err << console_.errorPrefix << printable(message) << '\n' << std::flush;
    return code;
}

void Session::note(const std::string& message) {
    console_.err << "note: " << printable(message) << '\n' << std::flush;
}

std::string Session::shown(std::string_view text) const {
    return console_.outputTerminal ? printable(text) : std::string(text);
}

int Session::fromStatus(const Status& status, const std::string& context) {
    return fail(exitCodeFor(status),
                context.empty() ? status.message : context + ": " + status.message);
}

void Session::confirm(const std::string& message) {
    if (!settings_.quiet) console_.out << printable(message) << '\n' << std::flush;
}

int Session::connect() {
    if (client_ && client_->connection().isOpen()) return EXIT_DONE;
    user_.clear();
    client_ =
        std::make_unique<Client>(settings_.host, settings_.controlPort, settings_.transferPort);
    if (!client_->connect()) return fail(EXIT_FAILED, client_->connection().error());
    return EXIT_DONE;
}

bool Session::checkConnected() {
    return client_ && client_->checkConnected();
}

int Session::login(const std::string& name) {
    if (int code = connect()) return code;
    std::string upper = upperAscii(name);
    std::string password;
    if (upper != "GUEST") {
        Secret secret = passwords_.forLogin(upper);
        if (!secret.password) return fail(secret.failureCode, secret.error);
        password = *secret.password;
    }
    // The server takes no second login on a connection.
    if (!user_.empty()) logout();
    Status status = client_->login(name, password);
    if (!status.ok()) return fromStatus(status, "login as " + upper + " failed");
    user_ = upper;
    return EXIT_DONE;
}

void Session::logout() {
    if (client_) client_->logout();
    user_.clear();
}

void Session::quit() {
    if (client_ && client_->connection().isOpen()) client_->quit();
    user_.clear();
}

int Session::runOnce(const ParsedCommand& command) {
    std::string name(command.info->name);
    Access access = command.access();
    if (settings_.user.empty()) {
        if (access == Access::Admin)
            return fail(EXIT_USAGE, "'" + name + "' is for the administrator: add -u ADMIN");
        if (access == Access::Account)
            return fail(EXIT_USAGE, "'" + name + "' needs a login: add -u NAME");
    }
    if (int code = connect()) return code;
    if (access != Access::None) {
        if (int code = login(settings_.user.empty() ? "GUEST" : settings_.user)) {
            quit();
            return code;
        }
    }
    int code = run(command, Mode::OneShot);
    quit();
    return code;
}

int Session::requireLogin(Access access, Mode mode) {
    if (access == Access::None) return EXIT_DONE;
    if (user_.empty()) {
        return fail(EXIT_USAGE, mode == Mode::Shell
                                    ? "not logged in: 'login NAME' first (GUEST needs no password)"
                                    : "not logged in");
    }
    if (access == Access::Account && user_ == "GUEST")
        return fail(EXIT_REFUSED, "GUEST has no folder of its own; log in with an account");
    return EXIT_DONE;
}

int Session::run(const ParsedCommand& command, Mode mode) {
    if (!client_ || !client_->connection().isOpen()) return fail(EXIT_FAILED, "not connected");
    if (int code = requireLogin(command.access(), mode)) return code;
    const std::vector<std::string>& args = command.args;
    std::string_view name = command.info->name;
    if (name == "register") return registerAccount(args[0]);
    if (name == "ls") return listOwnFolder(command.longFormat);
    if (name == "catalog") return listCatalog();
    if (name == "info") return info(args[0]);
    if (name == "share") return share(args[0], true);
    if (name == "unshare") return share(args[0], false);
    if (name == "mv") return rename(args[0], args[1]);
    if (name == "rm") return remove(args[0]);
    if (name == "get") return get(command, mode);
    if (name == "put") return put(command, mode);
    if (name == "users") return users();
    if (name == "whois") return whois(args[0]);
    if (name == "kick") return kick(args[0]);
    if (name == "stop") return stop();
    return fail(EXIT_USAGE, "'" + std::string(name) + "' cannot run here");
}

int Session::registerAccount(const std::string& name) {
    std::string upper = upperAscii(name);
    Secret secret = passwords_.forNewAccount(upper);
    if (!secret.password) return fail(secret.failureCode, secret.error);
    Status status = client_->createAccount(name, *secret.password);
    if (!status.ok()) return fromStatus(status, "cannot register " + upper);
    confirm("registered " + upper);
    return EXIT_DONE;
}

int Session::listOwnFolder(bool longFormat) {
    Status status;
    auto names = client_->listOwnFolder(&status);
    if (!names) return fromStatus(status);
    std::sort(names->begin(), names->end());
    for (const auto& name : *names) {
        if (!longFormat) {
            console_.out << shown(name) << '\n';
            continue;
        }
        auto info = client_->fileInfo(name, &status);
        if (!info) return fromStatus(status);
        // A folder has no size the server will tell.
        std::string size = info->available() ? std::to_string(info->size) : "-";
        console_.out << std::setw(12) << size << (info->shared ? "  shared  " : "          ")
                     << shown(name) << '\n';
    }
    console_.out << std::flush;
    return EXIT_DONE;
}

int Session::printLines(const std::vector<std::string>& lines) {
    for (const auto& line : lines) console_.out << shown(line) << '\n';
    console_.out << std::flush;
    return EXIT_DONE;
}

int Session::listCatalog() {
    Status status;
    auto lines = client_->listCatalog(&status);
    if (!lines) return fromStatus(status);
    return printLines(*lines);
}

int Session::info(const std::string& name) {
    Status status;
    auto info = client_->fileInfo(name, &status);
    if (!info) return fromStatus(status);
    if (!info->available()) {
        if (info->shared)
            console_.out << shown(name + ": not in your folder, but the catalog still lists " +
                                  lineOf(name))
                         << '\n';
        return fail(EXIT_REFUSED, "not a file in your folder: " + name);
    }
    std::string sharing = info->shared ? "shared as " + lineOf(name) : std::string("not shared");
    console_.out << shown(name + ": " + std::to_string(info->size) + " bytes, " + sharing) << '\n'
                 << std::flush;
    return EXIT_DONE;
}

int Session::share(const std::string& name, bool shared) {
    Status status;
    auto before = client_->fileInfo(name, &status);
    if (!before) return fromStatus(status);
    std::string line = lineOf(name);
    if (shared && !before->available())
        return fail(EXIT_REFUSED, "not a file in your folder: " + name);
    if (before->shared == shared) {
        confirm(shared ? name + " is already shared as " + line : name + " is not shared");
        return EXIT_DONE;
    }
    // The request has no answer; asking again afterwards both waits for the
    // server to have handled it and tells whether it took effect.
    if (!client_->setShared(name, shared)) return fail(EXIT_FAILED, client_->connection().error());
    auto after = client_->fileInfo(name, &status);
    if (!after) return fromStatus(status);
    if (after->shared != shared) {
        if (shared && line.size() > MAX_TEXT)
            return fail(EXIT_REFUSED, "cannot share " + name +
                                          ": its catalog line would be longer than 255 bytes");
        return fail(EXIT_REFUSED, "the server did not change the catalog for " + name);
    }
    confirm(shared ? "shared " + name + " as " + line : "unshared " + name);
    return EXIT_DONE;
}

int Session::rename(const std::string& from, const std::string& to) {
    Status status;
    auto info = client_->fileInfo(from, &status);
    if (!info) return fromStatus(status);
    status = client_->rename(from, to);
    if (!status.ok()) return fromStatus(status, "cannot rename " + from);
    confirm("renamed " + from + " to " + to);
    if (info->shared)
        note("the catalog still lists " + lineOf(from) + "; 'unshare " + from +
             "' removes that line");
    return EXIT_DONE;
}

int Session::remove(const std::string& name) {
    Status status;
    auto info = client_->fileInfo(name, &status);
    if (!info) return fromStatus(status);
    status = client_->remove(name);
    if (!status.ok()) return fromStatus(status, "cannot delete " + name);
    confirm("deleted " + name);
    if (info->shared)
        note("the catalog still lists " + lineOf(name) + "; 'unshare " + name +
             "' removes that line");
    return EXIT_DONE;
}

int Session::get(const ParsedCommand& command, Mode mode) {
    std::string remote = command.args[0];
    std::uint8_t selector = command.own ? SELECT_OWN_FOLDER : 0;
    if (!command.own) {
        // Only catalog lines are served; finding the line here gives a
        // clearer answer than the server's "not available", and lets
        // OWNER/file stand for OWNER\file.
        Status status;
        auto catalog = client_->listCatalog(&status);
        if (!catalog) return fromStatus(status);
        CatalogMatch match = matchCatalogLine(remote, *catalog);
        if (!match.line) {
            std::string message = "not in the catalog: " + remote;
            if (!match.suggestions.empty())
                message += " (did you mean " + match.suggestions[0] + "?)";
            return fail(EXIT_REFUSED, message);
        }
        remote = *match.line;
    }

    std::string destination = command.args.size() > 1 ? command.args[1] : std::string();
    bool toOutput = destination == "-";
    std::string path;
    if (!toOutput) {
        std::error_code ignored;
        bool intoFolder =
            destination.empty() || std::filesystem::is_directory(destination, ignored);
        if (intoFolder) {
            auto local = localNameFor(remote);
            if (!local)
                return fail(EXIT_USAGE,
                            "cannot name a local file after '" + remote + "'; give a destination");
            path = destination.empty() ? *local
                                       : (std::filesystem::path(destination) / *local).string();
        } else {
            path = destination;
        }
    }

    // The data goes into a file no one sees until it is complete, so a failed
    // or cancelled download leaves nothing behind, and an earlier file of
    // that name stays as it was.
    UploadFile staged;
    if (!toOutput && !staged.begin(path))
        return fail(EXIT_FAILED, "cannot write " + path +
                                     " (missing folder, a folder of that "
                                     "name, or no permission)");
    Sink sink = [&](const std::uint8_t* data, std::size_t length) {
        return toOutput ? writeStandardOutput(data, length) : staged.write(data, length);
    };

    InterruptScope scope;  // Ctrl+C cancels the transfer instead of ending the program
    clearInterrupt();
    std::optional<ProgressMeter> meter;
    if (console_.progress && !settings_.quiet)
        meter.emplace(console_.err, printable(toOutput ? remote : path), console_.columns);
    TransferOptions options;
    options.cancel = &interruptFlag();
    options.rateLimit = command.rateLimit;
    if (meter)
        options.progress = [&](std::uint64_t done, std::uint64_t total) {
            meter->update(done, total, now());
        };
    std::uint32_t size = 0;
    Status status = client_->download(remote, selector, sink, options, &size);
    if (meter) meter->finish(now());

    if (!status.ok()) {
        staged.abandon();
        if (status.kind == Status::Cancelled && mode == Mode::Shell &&
            !client_->connection().isOpen()) {
            // The cancel crossed the end of the transfer, and the library
            // closed the connection rather than leave it out of step.
            if (connect() == EXIT_DONE)
                console_.err << "the connection was renewed after the cancel; log in again\n";
        }
        if (status.kind == Status::Cancelled)
            return fail(EXIT_INTERRUPTED, "download cancelled; nothing was stored");
        if (status.kind == Status::LocalError)
            return fail(EXIT_FAILED,
                        toOutput ? "cannot write to standard output" : "cannot write " + path);
        if (status.kind == Status::NotAvailable)
            return fail(EXIT_REFUSED,
                        "file not available: " + remote +
                            (command.own ? " (no such file in your folder)"
                                         : " (its owner may have moved or deleted it)"));
        return fromStatus(status, "cannot download " + remote);
    }
    if (!toOutput && !staged.commit()) return fail(EXIT_FAILED, "cannot store " + path);
    if (!toOutput) confirm("downloaded " + remote + " to " + path + " (" + formatBytes(size) + ")");
    return EXIT_DONE;
}

int Session::put(const ParsedCommand& command, Mode mode) {
    const std::string& local = command.args[0];
    bool fromInput = local == "-";
    if (fromInput && mode == Mode::Shell)
        return fail(EXIT_USAGE,
                    "put - is not available in the shell: its input carries the commands");
    std::string remote;
    if (command.args.size() > 1) {
        remote = command.args[1];
    } else if (fromInput) {
        return fail(EXIT_USAGE, "put - needs the NAME to store the data under");
    } else {
        remote = std::filesystem::path(local).filename().string();
    }
    if (remote.empty()) return fail(EXIT_USAGE, "no NAME to store " + local + " under");

    SourceFile file;
    std::uint32_t announced = 0;  // standard input: not known ahead
    if (!fromInput) {
        if (!file.open(local))
            return fail(EXIT_FAILED, "cannot read " + local +
                                         " (missing, not a regular file, or no permission)");
        // Sizes travel as 32 bits, and FF FF FF FF means "not available".
        if (file.size() >= SIZE_UNAVAILABLE)
            return fail(EXIT_FAILED, local + " is 4 GiB or larger; the server takes smaller files");
        announced = static_cast<std::uint32_t>(file.size());
    }
    std::uint64_t offset = 0;
    bool tooLarge = false;
    Source source = [&](std::uint8_t* buffer, std::size_t capacity) -> long {
        long got = 0;
        if (!fromInput)
            got = file.readAt(buffer, capacity, offset);
        else if (waitForInput())  // a quiet pipe must not hold off a Ctrl+C
            got = readStandardInput(buffer, capacity);
        else
            got = -1;
        if (got > 0) offset += static_cast<std::uint64_t>(got);
        if (offset >= SIZE_UNAVAILABLE) {
            tooLarge = true;
            return -1;
        }
        return got;
    };

    InterruptScope scope;  // Ctrl+C cancels the transfer instead of ending the program
    clearInterrupt();
    std::optional<ProgressMeter> meter;
    if (console_.progress && !settings_.quiet)
        meter.emplace(console_.err, printable(remote), console_.columns);
    TransferOptions options;
    options.cancel = &interruptFlag();
    options.rateLimit = command.rateLimit;
    if (meter)
        options.progress = [&](std::uint64_t done, std::uint64_t total) {
            meter->update(done, total, now());
        };
    Status status = client_->upload(remote, announced, source, options);
    if (meter) meter->finish(now());
    if (tooLarge)
        return fail(EXIT_FAILED, "the input is 4 GiB or larger; the server takes smaller files");
    if (status.kind == Status::Cancelled)
        return fail(EXIT_INTERRUPTED, "upload cancelled; the server dropped what it had received");
    if (status.kind == Status::LocalError)
        return fail(EXIT_FAILED, fromInput ? "cannot read standard input" : "cannot read " + local);
    if (!status.ok()) return fromStatus(status, "cannot upload " + remote);
    confirm("uploaded " + (fromInput ? std::string("standard input") : local) + " as " + remote +
            " (" + formatBytes(offset) + ")");
    return EXIT_DONE;
}

int Session::users() {
    Status status;
    auto names = client_->listUsers(&status);
    if (!names) return fromStatus(status);
    return printLines(*names);
}

int Session::whois(const std::string& name) {
    // Session names are upper-case accounts or dotted addresses, so the
    // upper-case form always names the same session.
    std::string upper = upperAscii(name);
    Status status;
    auto info = client_->userInfo(upper, &status);
    if (!info) return fromStatus(status, upper);
    console_.out << "name:       " << shown(upper) << '\n'
                 << "address:    " << shown(info->address) << '\n'
                 << "connected:  " << formatDuration(info->connectedMs / 1000.0) << '\n'
                 << "shared:     " << info->sharedFiles << " file"
                 << (info->sharedFiles == 1 ? "" : "s") << '\n'
                 << "transfer:   " << transferSummary(*info) << '\n'
                 << std::flush;
    return EXIT_DONE;
}

int Session::kick(const std::string& name) {
    std::string upper = upperAscii(name);
    Status status = client_->kick(upper);
    if (!status.ok()) return fromStatus(status, "cannot kick " + upper);
    confirm("disconnected " + upper);
    return EXIT_DONE;
}

int Session::stop() {
    Status status = client_->shutDownServer();
    if (!status.ok()) return fromStatus(status, "cannot stop the server");
    user_.clear();
    confirm("the server is stopping");
    return EXIT_DONE;
}

}  // namespace vextora::client
