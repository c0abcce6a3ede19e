#include "client/local_files.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>

#include "client/exit_codes.h"

namespace vextora::client {

namespace {

namespace fs = std::filesystem;

DestinationPlan refused(int code, std::string error) {
    return {std::nullopt, code, std::move(error)};
}

std::string reason(int error) {
    return std::strerror(error);
}

std::string notReplacing(const std::string& path) {
    return "not replacing " + path + ": it exists, and -n was given";
}

// A name in `folder` that no listing of the user's shows and that no other
// download picks: hidden, with a random part.
std::string hiddenNameIn(const fs::path& folder) {
    static std::mt19937_64 random{std::random_device{}()};
    char suffix[17];
    std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(random()));
    return (folder / (std::string(".vextora-") + suffix + ".part")).string();
}

}  // namespace

DestinationPlan planDestination(const std::string& given, const std::string& localName,
                                bool noClobber) {
    if (given == "-") return {Destination{Destination::Output, "-", "-"}, 0, {}};

    std::error_code error;
    bool intoFolder = given.empty() || given.ends_with('/') || fs::is_directory(given, error);
    std::string path = given;
    if (intoFolder) {
        fs::file_status folder = fs::status(given.empty() ? "." : given, error);
        if (!fs::is_directory(folder))
            return refused(EXIT_FAILED, "cannot write into " + given + ": " +
                                            reason(error ? error.value() : ENOTDIR));
        if (!given.empty())
            path = given.ends_with('/') ? given + localName : given + "/" + localName;
        else
            path = localName;
    }

    Destination destination{Destination::NewFile, path, path};
    fs::file_status here = fs::symlink_status(path, error);
    fs::file_status named = here;
    if (here.type() == fs::file_type::symlink) {
        named = fs::status(path, error);
        if (named.type() == fs::file_type::not_found)
            return refused(EXIT_FAILED,
                           "cannot write " + path + ": it is a symbolic link to a missing file");
    }
    switch (named.type()) {
        case fs::file_type::not_found:
            return {destination, 0, {}};
        case fs::file_type::regular:
            if (noClobber) return refused(EXIT_REFUSED, notReplacing(path));
            if ((named.permissions() & fs::perms::owner_write) == fs::perms::none)
                return refused(EXIT_FAILED, "cannot write " + path + ": " + reason(EACCES));
            destination.kind = Destination::Replace;
            if (here.type() == fs::file_type::symlink) {
                // The link stays; the file it names gets the new content.
                destination.target = fs::canonical(path, error).string();
                if (error)
                    return refused(EXIT_FAILED, "cannot write " + path + ": " + error.message());
            }
            return {destination, 0, {}};
        case fs::file_type::fifo:
        case fs::file_type::character:
        case fs::file_type::block:
            destination.kind = Destination::Through;
            return {destination, 0, {}};
        case fs::file_type::directory:
            return refused(EXIT_FAILED, "cannot write " + path + ": " + reason(EISDIR));
        default:
            break;
    }
    return refused(EXIT_FAILED,
                   "cannot write " + path + ": not a file, a folder, a FIFO or a device");
}

LocalWriter::~LocalWriter() {
    abandon();
}

bool LocalWriter::failWith(const std::string& what, int error) {
    error_ = what + ": " + reason(error);
    abandon();
    return false;
}

bool LocalWriter::open(const Destination& destination) {
    abandon();
    destination_ = destination;
    error_.clear();
    refusedExisting_ = false;
    if (destination.kind == Destination::Through) {
        // Written into, never truncated by a rename: a FIFO's reader or a
        // device gets the bytes as they come.
        file_ = std::fopen(destination.target.c_str(), "wb");
        if (file_ == nullptr) return failWith("cannot write " + destination.path, errno);
    } else {
        fs::path folder = fs::path(destination.target).parent_path();
        if (folder.empty()) folder = ".";
        for (int attempt = 0; attempt < 10 && file_ == nullptr; ++attempt) {
            hidden_ = hiddenNameIn(folder);
            // "x": created here, never an existing file of that name.
            file_ = std::fopen(hidden_.c_str(), "wbx");
            if (file_ == nullptr && errno != EEXIST) {
                int saved = errno;
                hidden_.clear();
                return failWith("cannot write " + destination.path, saved);
            }
        }
        if (file_ == nullptr) {
            hidden_.clear();
            return failWith("cannot write " + destination.path, EEXIST);
        }
        if (destination.kind == Destination::Replace) {
            // The new content keeps the old file's permissions, as cp keeps them.
            std::error_code ignored;
            fs::permissions(hidden_, fs::status(destination.target, ignored).permissions(),
                            ignored);
        }
    }
    // Unbuffered: the data comes in large pieces, and a failure is then seen
    // at the write that met it, with its reason.
    std::setvbuf(file_, nullptr, _IONBF, 0);
    return true;
}

bool LocalWriter::write(const void* data, std::size_t length) {
    if (file_ == nullptr) return false;
    if (length > 0 && std::fwrite(data, 1, length, file_) != length)
        return failWith("cannot write " + destination_.path, errno);
    return true;
}

bool LocalWriter::commit(bool noClobber) {
    if (file_ == nullptr) return false;
    std::FILE* file = file_;
    file_ = nullptr;
    if (std::fclose(file) != 0) return failWith("cannot write " + destination_.path, errno);
    if (destination_.kind == Destination::Through) return true;

    std::error_code error;
    if (noClobber) {
        // A link is made only where no file of that name exists, in one step.
        fs::create_hard_link(hidden_, destination_.target, error);
        if (!error) {
            abandon();
            return true;
        }
        if (error == std::errc::file_exists || fs::exists(destination_.target)) {
            refusedExisting_ = true;
            error_ = notReplacing(destination_.path);
            abandon();
            return false;
        }
        // A file system without hard links: the check above must do.
    }
    fs::rename(hidden_, destination_.target, error);
    if (error) {
        error_ = "cannot store " + destination_.path + ": " + error.message();
        abandon();
        return false;
    }
    hidden_.clear();
    return true;
}

void LocalWriter::abandon() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    if (!hidden_.empty()) {
        std::error_code ignored;
        fs::remove(hidden_, ignored);
    }
    hidden_.clear();
}

}  // namespace vextora::client
