// FileSystem: every file and folder operation of the server, below one root.
//
// Stored paths keep the layout's own form, with backslashes: "Users\BOB",
// catalog lines "BOB\notes.txt". A stored path becomes a platform path only
// here, where both '\' and '/' separate components and the root (the server's
// data folder, "." for the working directory) goes in front. No case folding:
// names are used byte for byte.
//
// Failures are values. Nothing here throws or logs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vextora {

struct DirectoryEntry {
    std::string name;
    bool isDirectory = false;
};

// One line of a text file. `ended` says a line end (LF, or CR LF) followed
// it; a last line without one is still returned, with ended false.
struct TextLine {
    std::string text;
    bool ended = false;
    bool cut = false;  // longer than the reader keeps; the rest was skipped
};

// Reads a text file line by line. CR LF and a bare LF both end a line and
// are never part of it. Lines are kept whole up to KEEP_LIMIT bytes, so
// callers apply their own length rules and a long line never shifts the
// lines after it.
class KeptFile;

class LineReader {
public:
    static constexpr std::size_t KEEP_LIMIT = 65536;

    explicit LineReader(const std::string& nativePath);
    // Reads through what is kept between reads of the same file (see
    // KeptFile); a file that has grown too large for one read is opened anew.
    LineReader(const std::string& nativePath, KeptFile& kept);
    ~LineReader();
    // The moved-from reader has nothing left to read.
    LineReader(LineReader&& other) noexcept;
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // Opens only regular files, without ever blocking (a FIFO is refused).
    bool isOpen() const { return open_; }
    // Not open because nothing at all is at the name (not even a dangling
    // symbolic link): the file is missing, not unreadable.
    bool missing() const { return missing_; }
    // False at the end of the file, when no byte is left to make a line.
    bool next(TextLine& line);
    // A read failed before the end: what was returned is not the whole file.
    bool failed() const { return failed_; }

private:
    void open(const std::string& nativePath);
    bool fill();

    int handle_ = -1;  // owned; -1 once everything was read in one go
    bool open_ = false;
    bool missing_ = false;
    bool failed_ = false;
    std::vector<char> buffer_;
    std::uint64_t unread_ = 0;  // bytes of the file not read yet
    std::size_t start_ = 0;
    std::size_t end_ = 0;
    bool eof_ = false;
};

// A file that is read again and again (the catalog): its descriptor is kept
// open between reads to save opening it each time, and so is the content it
// last read. A use first asks by name which file the name leads to now: a
// file renamed over it, removed, or anything but a regular file is never
// read through the old descriptor. The kept content stands in for a read
// only while the file's identity, size, modification and change times are
// all as they were, and only if its last change came SETTLE_SECONDS or more
// before that content was read: any later change then leaves a later change
// time, however coarsely the file system keeps time. A file changed more
// recently is read anew every time, so every use sees what the file holds at
// that moment. A copy starts without a descriptor, content or watch.
//
// With its changes watched (watchChanges), a use need not even ask: the
// system reports every change to the file and to its name in its folder, and
// while none has been reported since the content was read, the content
// stands in at no cost for up to RECHECK_MS. A file reached through a
// symbolic link is never taken on trust this way.
class KeptFile {
public:
    // The largest file kept, read in one read.
    static constexpr std::size_t READ_LIMIT = 65536;
    static constexpr int SETTLE_SECONDS = 5;
    // However quiet the reports, the file is looked at again after this: a
    // change the system does not report (a shared mapping, a network file
    // system) is seen within it.
    static constexpr std::uint32_t RECHECK_MS = 1000;

    explicit KeptFile(int settleSeconds = SETTLE_SECONDS) : settleSeconds_(settleSeconds) {}
    ~KeptFile();
    KeptFile(const KeptFile& other) : settleSeconds_(other.settleSeconds_) {}
    KeptFile& operator=(const KeptFile& other);

    // The whole content of the file `nativePath` leads to, if that is a
    // regular file of at most READ_LIMIT bytes, else nullptr. *failed is set
    // when reading it failed (what is returned is then not all of it).
    const std::string* contentOf(const std::string& nativePath, bool* failed);
    // The last use found nothing at all at the name.
    bool foundNothing() const { return absent_; }
    void close();

    // Starts watching for changes. The returned handle turns readable when
    // one is reported. Its owner must test that readiness before every use
    // and call takeChanges() first whenever it is readable. -1 when the
    // system cannot report changes: every use then looks at the file, as
    // without a watch.
    int watchChanges();
    void takeChanges();
    // Back to looking at the file on every use.
    void unwatchChanges();
    // This process may have changed the file or its name: the next use
    // looks at it.
    void distrust() {
        trusted_ = false;
        nameMoved_ = true;
    }

private:
    struct Stamp {
        std::uint64_t size = 0;
        std::int64_t modified = 0;  // nanoseconds since the epoch
        std::int64_t changed = 0;
        bool operator==(const Stamp&) const = default;
    };

    // Watches the folder of `nativePath` for its name, and the file it
    // names, if any, for its content. True when the folder's watch stands.
    bool watchFile(const std::string& nativePath);
    // What was just looked at may stand in while nothing is reported.
    void trust(bool watched, const std::string& nativePath, std::uint32_t tick);
    void dropWatches();

    int settleSeconds_;
    int handle_ = -1;
    std::string path_;
    std::uint64_t device_ = 0;
    std::uint64_t inode_ = 0;
    std::string content_;
    Stamp stamp_;
    bool settled_ = false;  // content_ may stand in for a read while stamp_ holds

    int changes_ = -1;  // the change reports, once watched
    int folderWatch_ = -1;
    int fileWatch_ = -1;
    std::string watchedFolder_;
    std::string fileName_;   // the name in watchedFolder_ that leads to the file
    bool nameMoved_ = true;  // fileWatch_ may no longer be on the file the name leads to
    bool trusted_ = false;   // no change reported since trustedPath_ was looked at
    std::string trustedPath_;
    bool absent_ = false;             // nothing was at the name when last looked at
    bool linked_ = false;             // the name was a symbolic link when last looked at
    std::uint32_t trustedSince_ = 0;  // a tick of SystemTickClock
};

// The entries of one folder, read one at a time from the open folder, so
// that a folder of any size costs the reader the same: every entry except
// "." and ".." and upload temporaries, in the order the system gives them.
// Entries made or removed while it reads may or may not be seen; any other
// entry is seen once.
class DirectoryReader {
public:
    DirectoryReader() = default;
    explicit DirectoryReader(const std::string& nativePath);
    ~DirectoryReader();
    DirectoryReader(DirectoryReader&& other) noexcept;
    DirectoryReader(const DirectoryReader&) = delete;
    DirectoryReader& operator=(const DirectoryReader&) = delete;

    // False when the folder could not be opened (it then has no entries).
    bool isOpen() const { return stream_ != nullptr; }
    // False once every entry was read.
    bool next(DirectoryEntry& entry);

private:
    void* stream_ = nullptr;  // the open DIR, owned
    std::string path_;
};

// An open regular file, read-only, closed by the destructor.
class SourceFile {
public:
    SourceFile() = default;
    ~SourceFile();
    SourceFile(SourceFile&& other) noexcept;
    SourceFile& operator=(SourceFile&& other) noexcept;

    // Opens only regular files, without ever blocking (a FIFO is refused).
    // A failed open keeps the system's reason in error(); anything but a
    // regular file is ENOENT, as if it were not there.
    bool open(const std::string& nativePath);
    void close();
    bool isOpen() const { return handle_ >= 0; }
    int error() const { return error_; }
    int handle() const { return handle_; }
    std::uint64_t size() const { return size_; }
    // Reads at offset; returns bytes read, 0 at the end, -1 on error.
    long readAt(void* buffer, std::size_t length, std::uint64_t offset) const;

private:
    int handle_ = -1;
    std::uint64_t size_ = 0;
    int error_ = 0;
};

// A descriptor with one owner, closed when the owner lets it go.
class OwnedHandle {
public:
    OwnedHandle() = default;
    explicit OwnedHandle(int handle) : handle_(handle) {}
    ~OwnedHandle() { reset(); }
    OwnedHandle(OwnedHandle&& other) noexcept;
    OwnedHandle& operator=(OwnedHandle&& other) noexcept;
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;

    bool isOpen() const { return handle_ >= 0; }
    int handle() const { return handle_; }
    void reset();

private:
    int handle_ = -1;
};

// The target of an upload. Data goes into a file that no listing shows; only
// commit() puts it under its name, in one rename, so the name holds either the
// earlier file or the whole new one. abandon() and the destructor drop it.
class UploadFile {
public:
    UploadFile() = default;
    ~UploadFile();
    UploadFile(const UploadFile&) = delete;
    UploadFile& operator=(const UploadFile&) = delete;

    // Prepares the hidden file in the folder of nativeTarget. False when the
    // folder is missing or not writable, or the target is a folder or a
    // read-only file.
    bool begin(const std::string& nativeTarget);
    bool write(const void* data, std::size_t length);
    // Moves the data under the target name. False when that fails; the data
    // is dropped then and an earlier file of that name is left as it was.
    // With `replaced`, the earlier file (when there was one) is held open
    // there, so giving back its storage, which takes a while for a large
    // file, waits until the caller lets go of it.
    bool commit(OwnedHandle* replaced = nullptr);
    void abandon();
    bool isOpen() const { return handle_ >= 0; }
    int handle() const { return handle_; }
    // The system's reason for the last failure of begin, write or commit
    // (EISDIR or EACCES for a target begin would not write over); 0 if none.
    int error() const { return error_; }

private:
    int handle_ = -1;
    int error_ = 0;
    std::string target_;
    std::string tempPath_;  // named temporary, when the system has no unnamed files
    bool failed_ = false;
};

class FileSystem {
public:
    // Names that only temporary upload files carry; listings never show them.
    static constexpr std::string_view UPLOAD_TEMP_PREFIX = ".vxtpart-";

    explicit FileSystem(std::string root = ".");

    const std::string& root() const { return root_; }
    std::string nativePath(std::string_view stored) const;

    // True when the name has a ".." component, splitting on '\' and '/'.
    static bool hasParentComponent(std::string_view name);
    // True when the name's last component is one upload temporaries use:
    // listings hide such files and a start removes them, so no client may
    // make or touch one.
    static bool namesUploadTemporary(std::string_view name);

    bool isDirectory(std::string_view stored) const;
    bool exists(std::string_view stored) const;
    // Creates one folder. True when it was created; an existing one gives false.
    bool makeDirectory(std::string_view stored) const;
    // Deletes a file; a folder or a missing file gives false.
    bool removeFile(std::string_view stored) const;
    // Deletes a folder only if it is empty.
    bool removeEmptyDirectory(std::string_view stored) const;
    // A regular file its owner may not write: what a client may not delete.
    bool isReadOnlyFile(std::string_view stored) const;
    // Renames, failing when anything exists under the new name.
    bool renameNoReplace(std::string_view from, std::string_view to) const;
    // Size of a regular file that can be opened for reading, if it is below
    // 4 GiB (sizes travel as 32 bits).
    std::optional<std::uint32_t> measureFile(std::string_view stored) const;
    // Entries of a folder except "." and ".." and upload temporaries, in the
    // order the system gives them. False when the folder cannot be read.
    bool listDirectory(std::string_view stored, std::vector<DirectoryEntry>& entries) const;
    // The same entries, one at a time, read as they are asked for.
    DirectoryReader openDirectory(std::string_view stored) const;

    // Appends one record with a single write. If the file's last byte is not
    // a line end, CR LF goes first, so a torn or hand-edited last line never
    // fuses with the record. With durable, the data reaches the disk before
    // this returns. New files get `mode`. False when the record could not be
    // stored whole (a full disk); the file then has the length it had before
    // (a file this call created is removed), so no part of the record stays.
    bool appendRecord(std::string_view stored, std::string_view record, bool durable,
                      unsigned mode = 0644) const;
    // Replaces the file's whole content through the temporary file: written,
    // flushed, then renamed over the target, so the target is never missing or
    // half written, and no temporary stays behind.
    bool replaceContent(std::string_view stored, std::string_view temporary,
                        std::string_view content, unsigned mode = 0644) const;
    // Copies a regular file's content over `to` (same rules as replaceContent,
    // through a hidden temporary). False if anything fails; `to` is then as it was.
    bool copyFile(const std::string& nativeFrom, std::string_view storedTo) const;

    // Removes the upload temporaries a crash may have left in Users\*\ and
    // the catalog rewrite temporaries in the root.
    void removeStaleTemporaries() const;

    // The lines of a file as it is now, read through a kept descriptor: a file
    // read on every request of a kind (the catalog) keeps one between reads.
    // One descriptor is kept in all, for the file read this way last.
    LineReader readLines(std::string_view stored) const;
    // Lets the file read through readLines be taken on trust while no change
    // to it is reported (see KeptFile::watchChanges for the caller's part).
    int watchChanges() const { return kept_.watchChanges(); }
    void takeChanges() const { kept_.takeChanges(); }
    void unwatchChanges() const { kept_.unwatchChanges(); }

private:
    std::string root_;
    mutable KeptFile kept_;
};

}  // namespace vextora
