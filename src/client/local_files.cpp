#include "client/local_files.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

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
        // Written into, never replaced: a FIFO's reader or a device gets the
        // bytes as they come.
        device_ = std::fopen(destination.target.c_str(), "wb");
        if (device_ == nullptr) return failWith("cannot write " + destination.path, errno);
        // Unbuffered: the data comes in large pieces, and a failure is then
        // seen at the write that met it, with its reason.
        std::setvbuf(device_, nullptr, _IONBF, 0);
        return true;
    }
    errno = 0;
    if (!staged_.begin(destination.target))
        return failWith("cannot write " + destination.path, errno != 0 ? errno : EACCES);
    return true;
}

bool LocalWriter::write(const void* data, std::size_t length) {
    if (length == 0) return device_ != nullptr || staged_.isOpen();
    if (device_ != nullptr) {
        if (std::fwrite(data, 1, length, device_) == length) return true;
    } else if (staged_.write(data, length)) {
        return true;
    }
    return failWith("cannot write " + destination_.path, errno);
}

bool LocalWriter::commit(bool noClobber) {
    if (device_ != nullptr) {
        std::FILE* device = device_;
        device_ = nullptr;
        if (std::fclose(device) != 0) return failWith("cannot write " + destination_.path, errno);
        return true;
    }
    if (!staged_.isOpen()) return false;
    // The plan found no file there; one that has appeared since is kept.
    std::error_code ignored;
    if (noClobber && fs::exists(fs::symlink_status(destination_.target, ignored))) {
        refusedExisting_ = true;
        error_ = notReplacing(destination_.path);
        abandon();
        return false;
    }
    errno = 0;
    if (!staged_.commit()) {
        error_ = "cannot store " + destination_.path + ": " + reason(errno != 0 ? errno : EIO);
        return false;
    }
    return true;
}

void LocalWriter::abandon() {
    if (device_ != nullptr) std::fclose(device_);
    device_ = nullptr;
    staged_.abandon();
}

}  // namespace vextora::client
