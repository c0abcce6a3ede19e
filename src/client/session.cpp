#include "client/session.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iomanip>
#include <map>
#include <optional>
#include <set>

#include "client/exit_codes.h"
#include "client/local_files.h"
#include "client/names.h"
#include "client/progress_meter.h"
#include "client/wildcards.h"
#include "platform/file_system.h"
#include "platform/terminal.h"

namespace vextora::client {

namespace {

namespace fs = std::filesystem;

// However short the answer time, a transfer may pause this long: a server
// busy with large pieces for many clients goes quiet for a while.
constexpr int MIN_STALL_MS = 60000;

std::string transferSummary(const UserInfo& info) {
    if (info.direction == DIRECTION_NONE) return "none";
    std::string what = info.direction == DIRECTION_TO_SERVER ? "uploading " : "downloading ";
    // In the units the progress bar uses.
    return what + formatBytes(info.transferDone) + " of " + formatBytes(info.transferSize) +
           " at " + formatBytes(std::uint64_t{info.rateKBps} * 1024) + "/s";
}

std::string plural(std::size_t count, const char* what) {
    return std::to_string(count) + " " + what + (count == 1 ? "" : "s");
}

// A failure after which a run of many transfers cannot go on: the user
// cancelled, or the connection is gone.
bool endsTheRun(int code, Client& client) {
    return code == EXIT_INTERRUPTED || !client.connection().isOpen();
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

bool Session::FolderView::has(const std::string& name) const {
    return names && std::find(names->begin(), names->end(), name) != names->end();
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

void Session::step(const std::string& message) {
    if (settings_.verbose) console_.err << "* " << printable(message) << '\n' << std::flush;
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

TransferOptions Session::transferOptions(std::uint64_t rateLimit) const {
    TransferOptions options;
    options.cancel = &interruptFlag();
    options.rateLimit = rateLimit;
    options.connectTimeoutMs = settings_.timeoutSeconds * 1000;
    options.stallMs = std::max(MIN_STALL_MS, settings_.timeoutSeconds * 1000);
    return options;
}

int Session::connect() {
    if (client_ && client_->connection().isOpen()) return EXIT_DONE;
    user_.clear();
    client_ =
        std::make_unique<Client>(settings_.host, settings_.controlPort, settings_.transferPort);
    step("connecting to " + settings_.host + " port " + std::to_string(settings_.controlPort) +
         " (transfers: port " + std::to_string(settings_.transferPort) + ")");
    int timeoutMs = settings_.timeoutSeconds * 1000;
    if (!client_->connect(timeoutMs)) return fail(EXIT_FAILED, client_->connection().error());
    client_->connection().setTimeout(timeoutMs);
    step("connected");
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
    step("logging in as " + upper);
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
    if (settings_.userGiven && access == Access::None && name == "register")
        return fail(EXIT_USAGE, "'register' does not log in, so -u has no account to use; drop it");
    if (settings_.user.empty()) {
        if (access == Access::Admin)
            return fail(EXIT_USAGE, "'" + name + "' is for the administrator: add -u ADMIN");
        if (access == Access::Account)
            return fail(EXIT_USAGE, "'" + name + "' needs a login: add -u NAME");
    }
    if (int code = connect()) return code;
    // A command that needs no login still logs in when -u asks for it: the
    // account is then checked, rather than the option ignored. A default
    // user (VEXTORA_USER, the config file) logs in only where it is needed.
    bool logIn = access != Access::None || settings_.userGiven;
    if (logIn) {
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
    if (name == "mget") return mget(command, mode);
    if (name == "mput") return mput(command, mode);
    if (name == "users") return users();
    if (name == "whois") return whois(args[0]);
    if (name == "kick") return kick(args[0]);
    if (name == "stop") return stop();
    return fail(EXIT_USAGE, "'" + std::string(name) + "' cannot run here");
}

std::vector<std::string> Session::ownNames() {
    if (!client_ || user_.empty() || user_ == "GUEST") return {};
    auto names = client_->listOwnFolder();
    return names ? *names : std::vector<std::string>{};
}

std::vector<std::string> Session::catalogLines() {
    if (!client_ || !client_->connection().isOpen()) return {};
    auto lines = client_->listCatalog();
    return lines ? *lines : std::vector<std::string>{};
}

int Session::look(FolderView& folder) {
    if (folder.names) return EXIT_DONE;
    Status status;
    folder.names = client_->listOwnFolder(&status);
    if (!folder.names) return fromStatus(status);
    return EXIT_DONE;
}

int Session::registerAccount(const std::string& name) {
    std::string upper = upperAscii(name);
    std::string problem = accountNameProblem(name);
    if (!problem.empty())
        return fail(EXIT_REFUSED, "cannot register " + upper + ": name refused (" + problem + ")");
    Secret secret = passwords_.forNewAccount(upper);
    if (!secret.password) return fail(secret.failureCode, secret.error);
    if (secret.password->find_first_of("\r\n") != std::string::npos)
        return fail(EXIT_USAGE, "cannot register " + upper + ": a password cannot hold a line end");
    Status status = client_->createAccount(name, *secret.password);
    if (status.kind == Status::Refused && status.reply == REPLY_BAD_NAME)
        return fail(EXIT_REFUSED, "cannot register " + upper + ": the name is taken");
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
    if (shared && line.size() > MAX_TEXT)
        return fail(EXIT_REFUSED,
                    "cannot share " + name + ": its catalog line would be longer than 255 bytes");
    if (shared && name.find_first_of("\r\n") != std::string::npos)
        return fail(EXIT_REFUSED, "cannot share " + name +
                                      ": the name holds a line end, and a catalog line cannot; "
                                      "'mv' it to another name first");
    // The request has no answer; asking again afterwards both waits for the
    // server to have handled it and tells whether it took effect.
    if (!client_->setShared(name, shared)) return fail(EXIT_FAILED, client_->connection().error());
    auto after = client_->fileInfo(name, &status);
    if (!after) return fromStatus(status);
    if (after->shared != shared)
        return fail(EXIT_REFUSED, "the server did not change the catalog for " + name);
    confirm(shared ? "shared " + name + " as " + line : "unshared " + name);
    return EXIT_DONE;
}

int Session::rename(const std::string& from, const std::string& to) {
    std::string context = "cannot rename " + from;
    std::string problem = fileNameProblem(to);
    if (!problem.empty()) return fail(EXIT_USAGE, context + " to " + to + ": " + problem);
    Status status;
    FolderView folder;
    auto info = client_->fileInfo(from, &status);
    if (!info) return fromStatus(status);
    if (int code = look(folder)) return code;
    // Folders can be renamed too; the listing shows them, file information does not.
    if (!info->available() && !folder.has(from))
        return fail(EXIT_REFUSED, context + ": no such file in your folder");
    auto target = client_->fileInfo(to, &status);
    if (!target) return fromStatus(status);
    if (target->available() || folder.has(to))
        return fail(EXIT_REFUSED, context + ": " + to + " exists, and a rename never replaces");
    std::string top(topComponent(to));
    if (inSubFolder(to) && !folder.has(top))
        return fail(EXIT_REFUSED, context + " to " + to + ": your folder has no folder " + top +
                                      ", and the server creates none");
    status = client_->rename(from, to);
    if (status.kind == Status::Refused)
        return fail(EXIT_REFUSED, context + " to " + to +
                                      (inSubFolder(to) ? ": the server refused it (is " + to +
                                                             "'s folder a folder?)"
                                                       : ": the server refused it"));
    if (!status.ok()) return fromStatus(status, context);
    confirm("renamed " + from + " to " + to);
    if (info->shared)
        note("the catalog still lists " + lineOf(from) + "; 'unshare " + from +
             "' removes that line");
    return EXIT_DONE;
}

int Session::remove(const std::string& name) {
    std::string context = "cannot delete " + name;
    Status status;
    FolderView folder;
    auto info = client_->fileInfo(name, &status);
    if (!info) return fromStatus(status);
    bool listed = false;
    if (!info->available()) {
        if (int code = look(folder)) return code;
        listed = folder.has(name);
        if (!listed) return fail(EXIT_REFUSED, context + ": no such file in your folder");
    }
    status = client_->remove(name);
    if (status.kind == Status::Refused) {
        // What is left: the file is there, so it is a folder or kept read-only.
        return fail(EXIT_REFUSED, context + (listed ? ": it is a folder, and folders cannot be "
                                                      "deleted"
                                                    : ": the server keeps it read-only"));
    }
    if (!status.ok()) return fromStatus(status, context);
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
    TransferFlags flags{command.noClobber, command.toTerminal, command.rateLimit};
    std::string destination = command.args.size() > 1 ? command.args[1] : std::string();
    return fetch(remote, selector, destination, flags, mode);
}

int Session::fetch(const std::string& remote, std::uint8_t selector, const std::string& destination,
                   const TransferFlags& flags, Mode mode) {
    auto local = localNameFor(remote);
    if (!local && destination != "-")
        return fail(EXIT_USAGE,
                    "cannot name a local file after '" + remote + "'; give a destination");
    DestinationPlan plan = planDestination(destination, local.value_or(""), flags.noClobber);
    if (!plan.destination) return fail(plan.code, plan.error);
    const Destination& target = *plan.destination;
    bool toOutput = target.kind == Destination::Output;
    // Binary data would drive the terminal; text may go there, as with cat.
    bool guardTerminal = toOutput && console_.outputTerminal && !flags.toTerminal;

    InterruptScope scope;  // Ctrl+C cancels the transfer instead of ending the program
    clearInterrupt();
    LocalWriter writer;
    // A FIFO is opened before the request: its open waits for a reader,
    // and the server's transfer should not wait meanwhile.
    if (!toOutput && !writer.open(target)) {
        if (interrupted()) return fail(EXIT_INTERRUPTED, "download cancelled; nothing was stored");
        return fail(EXIT_FAILED, writer.error());
    }
    bool binaryRefused = false;
    int outputError = 0;
    Sink sink = [&](const std::uint8_t* data, std::size_t length) {
        if (!toOutput) return writer.write(data, length);
        if (guardTerminal && looksBinary(data, length)) {
            binaryRefused = true;
            return false;
        }
        if (writeStandardOutput(data, length)) return true;
        outputError = errno;
        return false;
    };

    std::optional<ProgressMeter> meter;
    if (console_.progress && !settings_.quiet)
        meter.emplace(console_.err, printable(toOutput ? remote : target.path), console_.columns);
    TransferOptions options = transferOptions(flags.rateLimit);
    if (meter)
        options.progress = [&](std::uint64_t done, std::uint64_t total) {
            meter->update(done, total, now());
        };
    std::uint32_t size = 0;
    step("downloading " + remote);
    Status status = client_->download(remote, selector, sink, options, &size);
    if (meter)
        meter->finish(now(), status.ok()                        ? ""
                             : status.kind == Status::Cancelled ? "cancelled"
                                                                : "failed");

    if (!status.ok()) {
        writer.abandon();
        bool stoppedHere = status.kind == Status::Cancelled || status.kind == Status::LocalError;
        if (stoppedHere && mode == Mode::Shell && !client_->connection().isOpen()) {
            // The cancel crossed the end of the transfer, and the library
            // closed the connection rather than leave it out of step.
            if (connect() == EXIT_DONE)
                note("the connection was renewed after the cancel; log in again");
        }
        if (binaryRefused)
            return fail(EXIT_USAGE, remote +
                                        " holds binary data, which would drive the terminal; "
                                        "give a DEST, redirect the output, or add --terminal");
        if (status.kind == Status::Cancelled)
            return fail(EXIT_INTERRUPTED, "download cancelled; nothing was stored");
        if (status.kind == Status::LocalError)
            return fail(EXIT_FAILED, toOutput ? std::string("cannot write to standard output: ") +
                                                    std::strerror(outputError)
                                              : writer.error());
        if (status.kind == Status::NotAvailable)
            return fail(EXIT_REFUSED, "file not available: " + remote +
                                          (selector == SELECT_OWN_FOLDER
                                               ? " (no such file in your folder)"
                                               : " (its owner may have moved or deleted it)"));
        return fromStatus(status, "cannot download " + remote);
    }
    if (toOutput) return EXIT_DONE;
    if (!writer.commit(flags.noClobber))
        return fail(writer.refusedExisting() ? EXIT_REFUSED : EXIT_FAILED, writer.error());
    std::string amount = " (" + formatBytes(size) + ")";
    if (target.kind == Destination::Replace)
        confirm("replaced " + target.path + " with " + remote + amount);
    else
        confirm("downloaded " + remote + " to " + target.path + amount);
    return EXIT_DONE;
}

int Session::put(const ParsedCommand& command, Mode) {
    const std::string& local = command.args[0];
    std::string remote;
    if (command.args.size() > 1) {
        remote = command.args[1];
        // `put *.pdf` with two matches arrives as `put alpha.pdf beta.pdf`;
        // storing the one under the other's name is never what was meant.
        std::error_code ignored;
        if (local != "-" && fs::exists(fs::symlink_status(remote, ignored)))
            return fail(EXIT_USAGE, "put takes one FILE and the NAME to store it as, and " +
                                        remote +
                                        " is a local file too (did a wildcard match "
                                        "two files?); 'mput " +
                                        local + " " + remote + "' uploads both");
    } else if (local == "-") {
        return fail(EXIT_USAGE, "put - needs the NAME to store the data under");
    } else {
        remote = fs::path(local).filename().string();
    }
    if (remote.empty()) return fail(EXIT_USAGE, "no NAME to store " + local + " under");
    TransferFlags flags{command.noClobber, false, command.rateLimit};
    FolderView folder;
    return store(local, remote, flags, folder);
}

int Session::store(const std::string& local, const std::string& remote, const TransferFlags& flags,
                   FolderView& folder) {
    bool fromInput = local == "-";
    std::string context = "cannot upload " + (fromInput ? std::string("standard input") : local);
    if (fromInput && console_.inputCarriesCommands)
        return fail(EXIT_USAGE,
                    "put - is not available in the shell: its input carries the commands");
    std::string problem = fileNameProblem(remote);
    if (!problem.empty()) return fail(EXIT_USAGE, context + " as " + remote + ": " + problem);

    SourceFile file;
    std::uint32_t announced = 0;  // standard input: not known ahead
    if (!fromInput) {
        std::error_code error;
        fs::file_status kind = fs::status(local, error);
        if (error) return fail(EXIT_FAILED, "cannot read " + local + ": " + error.message());
        if (fs::is_directory(kind))
            return fail(EXIT_USAGE, local + " is a folder; 'mput -r " + local + "' uploads it");
        if (!fs::is_regular_file(kind))
            return fail(EXIT_FAILED, "cannot read " + local + ": not a regular file");
        if (!file.open(local))
            return fail(EXIT_FAILED, "cannot read " + local + ": " + std::strerror(errno));
        // Sizes travel as 32 bits, and FF FF FF FF means "not available".
        if (file.size() >= SIZE_UNAVAILABLE)
            return fail(EXIT_FAILED, local + " is 4 GiB or larger; the server takes smaller files");
        announced = static_cast<std::uint32_t>(file.size());
    }

    // What is there already, so that a replacement is said, or refused with -n.
    Status status;
    auto before = client_->fileInfo(remote, &status);
    if (!before) return fromStatus(status);
    bool replacing = before->available();
    if (!replacing || inSubFolder(remote)) {
        if (int code = look(folder)) return code;
    }
    if (!replacing && folder.has(remote))
        return fail(EXIT_REFUSED,
                    context + " as " + remote + ": your folder has a folder of that name");
    std::string top(topComponent(remote));
    if (inSubFolder(remote) && !folder.has(top))
        return fail(EXIT_REFUSED, context + " as " + remote + ": your folder has no folder " + top +
                                      ", and the server creates none");
    if (replacing && flags.noClobber)
        return fail(EXIT_REFUSED,
                    "not replacing " + remote + " in your folder: it exists, and -n was given");

    std::uint64_t offset = 0;
    bool tooLarge = false;
    int readError = 0;
    Source source = [&](std::uint8_t* buffer, std::size_t capacity) -> long {
        long got = 0;
        if (!fromInput)
            got = file.readAt(buffer, capacity, offset);
        else if (waitForInput())  // a quiet pipe must not hold off a Ctrl+C
            got = readStandardInput(buffer, capacity);
        else
            got = -1;
        if (got < 0) readError = errno;
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
    if (console_.progress && !settings_.quiet) {
        meter.emplace(console_.err, printable(remote), console_.columns);
        // The start of the transfer, so its rate counts from here.
        meter->update(0, announced, now());
    }
    TransferOptions options = transferOptions(flags.rateLimit);
    if (meter)
        options.progress = [&](std::uint64_t done, std::uint64_t total) {
            meter->update(done, total, now());
        };
    step("uploading " + (fromInput ? std::string("standard input") : local) + " as " + remote);
    status = client_->upload(remote, announced, source, options);
    if (meter)
        meter->finish(now(), status.ok()                        ? ""
                             : status.kind == Status::Cancelled ? "cancelled"
                                                                : "failed");
    if (tooLarge)
        return fail(EXIT_FAILED, "the input is 4 GiB or larger; the server takes smaller files");
    if (status.kind == Status::Cancelled)
        return fail(EXIT_INTERRUPTED, "upload cancelled; the server dropped what it had received");
    if (status.kind == Status::LocalError)
        return fail(EXIT_FAILED, (fromInput ? std::string("cannot read standard input")
                                            : "cannot read " + local) +
                                     ": " + std::strerror(readError));
    if (status.kind == Status::Refused && status.afterData) {
        // The checks above leave one cause for each case.
        std::string why = replacing ? remote + " is read-only on the server and was kept"
                                    : "the server could not create " + remote;
        if (!replacing && inSubFolder(remote))
            why += " (does its folder exist? the server creates none)";
        else if (!replacing)
            why += " (is its disk full?)";
        return fail(EXIT_REFUSED, context + ": " + why);
    }
    if (!status.ok()) return fromStatus(status, context + " as " + remote);
    if (folder.names && !folder.has(remote)) folder.names->push_back(remote);
    std::string what = fromInput ? std::string("standard input") : local;
    std::string amount = " (" + formatBytes(offset) + ")";
    if (replacing)
        confirm("replaced " + remote + " in your folder with " + what + amount);
    else
        confirm("uploaded " + what + " as " + remote + amount);
    return EXIT_DONE;
}

int Session::mput(const ParsedCommand& command, Mode) {
    TransferFlags flags{command.noClobber, false, command.rateLimit};
    // Each local file with the name it is stored under; a later file of an
    // earlier one's name is refused rather than replacing it.
    std::vector<std::pair<std::string, std::string>> plan;
    std::map<std::string, std::string> byName;
    int result = EXIT_DONE;
    auto add = [&](const std::string& local, const std::string& remote) {
        auto [earlier, fresh] = byName.emplace(remote, local);
        if (!fresh) {
            result = fail(EXIT_USAGE, "skipped " + local + ": " + earlier->second + " goes in as " +
                                          remote + " already");
            return;
        }
        plan.emplace_back(local, remote);
    };
    for (const auto& arg : command.args) {
        std::error_code error;
        std::vector<std::string> paths = {arg};
        if (arg == "-") {
            result = fail(EXIT_USAGE, "mput takes files; 'put - NAME' uploads standard input");
            continue;
        }
        if (hasWildcards(arg) && !fs::exists(fs::symlink_status(arg, error))) {
            paths = expandLocal(arg);
            if (paths.empty()) {
                result = fail(EXIT_USAGE, "no local file matches " + arg);
                continue;
            }
        }
        for (const auto& path : paths) {
            if (!fs::is_directory(path, error)) {
                add(path, fs::path(path).filename().string());
                continue;
            }
            if (!command.recursive) {
                result = fail(EXIT_USAGE, "skipped " + path + ": a folder ('mput -r' uploads it)");
                continue;
            }
            // The folder's files go in under their own names, those of its
            // sub-folders into the sub-folders of that name in the own folder.
            std::vector<std::pair<std::string, std::string>> found;
            fs::recursive_directory_iterator walk(path, error);
            for (; !error && walk != fs::recursive_directory_iterator(); walk.increment(error)) {
                const fs::path& entry = walk->path();
                if (walk->is_directory(error)) continue;
                std::string relative = entry.lexically_relative(path).generic_string();
                if (!walk->is_regular_file(error)) {
                    result = fail(EXIT_USAGE, "skipped " + entry.string() +
                                                  ": not a regular file, so not uploaded");
                    continue;
                }
                found.emplace_back(entry.string(), relative);
            }
            if (error)
                result =
                    fail(EXIT_FAILED, "cannot read the folder " + path + ": " + error.message());
            std::sort(found.begin(), found.end(),
                      [](const auto& a, const auto& b) { return a.second < b.second; });
            for (const auto& [local, remote] : found) add(local, remote);
        }
    }

    FolderView folder;
    std::size_t stored = 0;
    for (const auto& [local, remote] : plan) {
        int code = store(local, remote, flags, folder);
        if (code == EXIT_DONE)
            ++stored;
        else
            result = code;
        if (endsTheRun(code, *client_)) return code;
    }
    if (plan.size() > 1 || stored != plan.size())
        confirm("uploaded " + std::to_string(stored) + " of " + plural(plan.size(), "file"));
    return result;
}

int Session::mget(const ParsedCommand& command, Mode mode) {
    bool own = command.own;
    Status status;
    auto names = own ? client_->listOwnFolder(&status) : client_->listCatalog(&status);
    if (!names) return fromStatus(status);
    if (own) std::sort(names->begin(), names->end());

    int result = EXIT_DONE;
    std::vector<std::string> chosen;
    std::set<std::string> seen;
    std::map<std::string, std::string> byLocalName;
    for (const auto& pattern : command.args) {
        std::vector<std::string> matched;
        if (own) {
            for (const auto& name : *names)
                if (matchesWildcard(pattern, name, true)) matched.push_back(name);
        } else {
            matched = matchCatalogPattern(pattern, *names);
            if (matched.empty() && !hasWildcards(pattern)) {
                CatalogMatch exact = matchCatalogLine(pattern, *names);
                if (exact.line) matched.push_back(*exact.line);
            }
        }
        if (matched.empty()) {
            result = fail(EXIT_REFUSED, own ? "no file in your folder matches " + pattern
                                            : "no catalog line matches " + pattern);
            continue;
        }
        for (const auto& name : matched) {
            if (!seen.insert(name).second) continue;
            auto local = localNameFor(name);
            if (!local) {
                result = fail(EXIT_USAGE, "skipped " + name + ": no local name can be made of it");
                continue;
            }
            auto [earlier, fresh] = byLocalName.emplace(*local, name);
            if (!fresh) {
                result = fail(EXIT_USAGE, "skipped " + name + ": " + earlier->second + " goes to " +
                                              *local + " already");
                continue;
            }
            chosen.push_back(name);
        }
    }

    // "-O FOLDER" must be a folder; the trailing '/' makes the destination
    // refuse anything else, with the reason.
    std::string into = command.into.empty() ? std::string() : command.into;
    if (!into.empty() && !into.ends_with('/')) into += '/';
    TransferFlags flags{command.noClobber, false, command.rateLimit};
    std::size_t fetched = 0;
    for (const auto& name : chosen) {
        if (own) {
            // The own listing shows sub-folders too; they cannot be downloaded.
            auto info = client_->fileInfo(name, &status);
            if (!info) return fromStatus(status);
            if (!info->available()) {
                result = fail(EXIT_REFUSED, "skipped " + name + ": a folder, not a file");
                continue;
            }
        }
        int code = fetch(name, own ? SELECT_OWN_FOLDER : 0, into, flags, mode);
        if (code == EXIT_DONE)
            ++fetched;
        else
            result = code;
        if (endsTheRun(code, *client_)) return code;
    }
    if (chosen.size() > 1 || fetched != chosen.size())
        confirm("downloaded " + std::to_string(fetched) + " of " + plural(chosen.size(), "file"));
    return result;
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
