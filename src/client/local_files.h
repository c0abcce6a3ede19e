// LocalFiles: where a download goes on this machine, and the writing of it.
//
// A destination is decided before anything is fetched, from what is at the
// path now: a folder takes the file under its own name; a regular file, or
// the one a symbolic link names, is replaced in one rename once the whole
// download is there, so a failed or cancelled download leaves it as it was;
// a FIFO or a device is written into, as cp writes into them. Every failure
// keeps the system's own reason until the message a person reads.
#pragma once

#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>

#include "platform/file_system.h"

namespace vextora::client {

struct Destination {
    enum Kind {
        NewFile,  // nothing there yet: created once the download is complete
        Replace,  // a regular file (or the file a link names), replaced at the end
        Through,  // a FIFO or a device: written into as the data comes
        Output,   // standard output
    };
    Kind kind = NewFile;
    std::string path;    // as the user reads it in messages
    std::string target;  // the file written: `path`, or the file a symbolic link names
};

struct DestinationPlan {
    std::optional<Destination> destination;
    int code = 0;  // the exit code when there is none
    std::string error;
};

// Where the file `localName` goes for the destination the user gave: empty
// for the current folder, "-" for standard output, an existing folder or a
// path ending in '/' for a folder (which must exist), anything else for a
// file. With noClobber an existing file is refused (exit code 1); a FIFO or
// a device is never replaced, only written into, so it is still taken.
DestinationPlan planDestination(const std::string& given, const std::string& localName,
                                bool noClobber);

// Writes one download to its destination (not to standard output). A file
// is written as an upload is on the server, into a file no listing shows
// (one without a name where the system allows it, so not even a crash
// leaves it behind), which commit() puts under its name.
class LocalWriter {
public:
    LocalWriter() = default;
    ~LocalWriter();  // abandons what was not committed
    LocalWriter(const LocalWriter&) = delete;
    LocalWriter& operator=(const LocalWriter&) = delete;

    // Opens the hidden file, or the FIFO or device itself (which waits for a
    // FIFO's reader). False with error() set.
    bool open(const Destination& destination);
    bool write(const void* data, std::size_t length);
    // Puts the file under its name; with noClobber not over a file that has
    // appeared there meanwhile (refusedExisting() then tells). False with
    // error() set; nothing is left behind then.
    bool commit(bool noClobber);
    void abandon();

    // "cannot write PATH: No space left on device", and the like.
    const std::string& error() const { return error_; }
    bool refusedExisting() const { return refusedExisting_; }

private:
    bool failWith(const std::string& what, int error);

    std::FILE* device_ = nullptr;  // a FIFO or a device, written into
    UploadFile staged_;            // a file, until it is complete
    Destination destination_;
    std::string error_;
    bool refusedExisting_ = false;
};

}  // namespace vextora::client
