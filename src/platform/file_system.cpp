#include "platform/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/tick_clock.h"

namespace vextora {

namespace {

constexpr std::size_t READ_CHUNK = 16384;

bool writeAll(int handle, const char* data, std::size_t length) {
    while (length > 0) {
        ssize_t written = ::write(handle, data, length);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

std::string folderOf(const std::string& nativePath) {
    auto slash = nativePath.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return nativePath.substr(0, slash);
}

// A name no client can guess or collide with: process id and a counter.
std::string hiddenTemporaryIn(const std::string& folder) {
    static std::atomic<unsigned> counter{0};
    return folder + "/" + std::string(FileSystem::UPLOAD_TEMP_PREFIX) + std::to_string(::getpid()) +
           "-" + std::to_string(counter++);
}

bool isDirectoryPath(const std::string& nativePath) {
    struct stat info {};
    return ::stat(nativePath.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// A regular file its owner may not write (a link is never one).
bool isReadOnlyPath(const std::string& nativePath) {
    struct stat info {};
    return ::lstat(nativePath.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           (info.st_mode & S_IWUSR) == 0;
}

bool renameNoReplaceNative(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // File systems without the flag: the server is single-threaded, so a
    // look before the rename is as good.
    struct stat info {};
    if (::lstat(to.c_str(), &info) == 0 || errno != ENOENT) return false;
    return ::rename(from.c_str(), to.c_str()) == 0;
}

}  // namespace

// ---- LineReader ----

LineReader::LineReader(const std::string& nativePath) {
    open(nativePath);
}

LineReader::LineReader(const std::string& nativePath, KeptFile& kept) {
    bool failed = false;
    const std::string* content = kept.contentOf(nativePath, &failed);
    if (content == nullptr) {
        if (kept.foundNothing())
            missing_ = true;
        else
            open(nativePath);
        return;
    }
    buffer_.assign(content->begin(), content->end());
    if (buffer_.empty()) buffer_.resize(1);
    open_ = true;
    eof_ = true;  // everything there is, is in the buffer
    failed_ = failed;
    end_ = content->size();  // nothing after a failed read
}

void LineReader::open(const std::string& nativePath) {
    handle_ = ::open(nativePath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (handle_ < 0) {
        struct stat link {};
        missing_ = errno == ENOENT && ::lstat(nativePath.c_str(), &link) != 0 && errno == ENOENT;
        return;
    }
    struct stat info {};
    if (::fstat(handle_, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(handle_);
        handle_ = -1;
        return;
    }
    open_ = true;
    // The file is read as it was when opened: what it held then, no more, so
    // a small file takes one read and a buffer of its size.
    unread_ = static_cast<std::uint64_t>(info.st_size);
    buffer_.resize(static_cast<std::size_t>(std::clamp<std::uint64_t>(unread_, 1, READ_CHUNK)));
}

LineReader::~LineReader() {
    if (handle_ >= 0) ::close(handle_);
}

LineReader::LineReader(LineReader&& other) noexcept
    : handle_(other.handle_),
      open_(other.open_),
      failed_(other.failed_),
      buffer_(std::move(other.buffer_)),
      unread_(other.unread_),
      start_(other.start_),
      end_(other.end_),
      eof_(other.eof_) {
    other.handle_ = -1;
    other.start_ = other.end_ = 0;
    other.unread_ = 0;
    other.eof_ = true;
}

bool LineReader::fill() {
    if (eof_ || handle_ < 0) return false;
    for (;;) {
        if (unread_ == 0) {
            eof_ = true;
            return false;
        }
        std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(unread_, buffer_.size()));
        ssize_t got = ::read(handle_, buffer_.data(), want);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            eof_ = true;
            failed_ = got < 0;
            return false;
        }
        unread_ -= static_cast<std::uint64_t>(got);
        start_ = 0;
        end_ = static_cast<std::size_t>(got);
        return true;
    }
}

bool LineReader::next(TextLine& line) {
    line.text.clear();
    line.ended = false;
    line.cut = false;
    bool any = false;
    char lastByte = 0;
    for (;;) {
        if (start_ == end_ && !fill()) break;
        const char* begin = buffer_.data() + start_;
        std::size_t available = end_ - start_;
        const char* newline = static_cast<const char*>(std::memchr(begin, '\n', available));
        std::size_t take = newline ? static_cast<std::size_t>(newline - begin) : available;
        any = true;
        if (take > 0) lastByte = begin[take - 1];
        std::size_t room = KEEP_LIMIT - line.text.size();
        if (take > room) line.cut = true;
        line.text.append(begin, take < room ? take : room);
        start_ += take;
        if (newline) {
            ++start_;
            line.ended = true;
            break;
        }
    }
    if (!any) return false;
    if (line.ended && !line.cut && lastByte == '\r' && !line.text.empty()) line.text.pop_back();
    return true;
}

// ---- KeptFile ----

KeptFile::~KeptFile() {
    close();
    unwatchChanges();
}

KeptFile& KeptFile::operator=(const KeptFile& other) {
    if (this != &other) {
        close();
        settleSeconds_ = other.settleSeconds_;
    }
    return *this;
}

void KeptFile::close() {
    if (handle_ >= 0) ::close(handle_);
    handle_ = -1;
    path_.clear();
    content_.clear();
    settled_ = false;
    trusted_ = false;
}

namespace {

std::int64_t nanoseconds(const timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

// What a change to the catalog can look like: written, truncated, touched
// or re-permitted in place, or its name removed, renamed away or over.
constexpr std::uint32_t FILE_CHANGES = IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
constexpr std::uint32_t NAME_CHANGES = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                       IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

}  // namespace

int KeptFile::watchChanges() {
    if (changes_ < 0) changes_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    return changes_;
}

void KeptFile::unwatchChanges() {
    if (changes_ < 0) return;
    dropWatches();
    ::close(changes_);
    changes_ = -1;
    trusted_ = false;
}

void KeptFile::dropWatches() {
    if (folderWatch_ >= 0) ::inotify_rm_watch(changes_, folderWatch_);
    if (fileWatch_ >= 0) ::inotify_rm_watch(changes_, fileWatch_);
    folderWatch_ = fileWatch_ = -1;
    watchedFolder_.clear();
    fileName_.clear();
}

bool KeptFile::watchFile(const std::string& nativePath) {
    if (changes_ < 0) return false;
    std::size_t slash = nativePath.find_last_of('/');
    std::string folder = slash == std::string::npos ? "." : nativePath.substr(0, slash);
    std::string name = slash == std::string::npos ? nativePath : nativePath.substr(slash + 1);
    if (folderWatch_ < 0 || folder != watchedFolder_ || name != fileName_) {
        dropWatches();
        folderWatch_ = ::inotify_add_watch(changes_, folder.c_str(), NAME_CHANGES);
        if (folderWatch_ < 0) return false;
        watchedFolder_ = std::move(folder);
        fileName_ = std::move(name);
    }
    if (fileWatch_ >= 0 && !nameMoved_) return true;
    // The name may lead to another file by now. The same file gives the same
    // watch; a watch on a file the name has left goes.
    nameMoved_ = false;
    int watch = ::inotify_add_watch(changes_, nativePath.c_str(), FILE_CHANGES | IN_DONT_FOLLOW);
    if (fileWatch_ >= 0 && watch != fileWatch_) ::inotify_rm_watch(changes_, fileWatch_);
    fileWatch_ = watch;  // none while nothing is at the name
    return true;
}

void KeptFile::trust(bool watched, const std::string& nativePath, std::uint32_t tick) {
    trusted_ = watched;
    if (!watched) return;
    trustedPath_ = nativePath;
    trustedSince_ = tick;
}

void KeptFile::takeChanges() {
    if (changes_ < 0) return;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        ssize_t got = ::read(changes_, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return;
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            // Other names in the folder come and go without touching ours.
            bool otherName = event->wd == folderWatch_ && event->len > 0 &&
                             std::string_view(event->name) != fileName_;
            if (otherName) continue;
            trusted_ = false;
            // Anything but a change to the watched file itself may mean the
            // name leads elsewhere now.
            if (event->wd != fileWatch_) nameMoved_ = true;
            if (event->mask & IN_IGNORED) {
                if (event->wd == folderWatch_) folderWatch_ = -1;
                if (event->wd == fileWatch_) fileWatch_ = -1;
            }
        }
    }
}

const std::string* KeptFile::contentOf(const std::string& nativePath, bool* failed) {
    *failed = false;
    std::uint32_t tick = changes_ >= 0 ? SystemTickClock().now() : 0;
    if (trusted_ && trustedPath_ == nativePath && elapsedMs(trustedSince_, tick) < RECHECK_MS)
        return absent_ ? nullptr : &content_;
    trusted_ = false;
    // The watches come first, so a change made while the file is looked at
    // and read below is reported after it. A name that was a link last time
    // is not watched: it is never trusted.
    bool nameWatched = !linked_ && watchFile(nativePath);
    struct stat now {};
    bool found = ::lstat(nativePath.c_str(), &now) == 0;
    absent_ = !found && errno == ENOENT;
    linked_ = found && S_ISLNK(now.st_mode);
    if (linked_ && ::stat(nativePath.c_str(), &now) != 0) now = {};
    if (!S_ISREG(now.st_mode) || static_cast<std::uint64_t>(now.st_size) > READ_LIMIT) {
        close();
        // Nothing at the name: the folder's watch reports anything coming.
        trust(absent_ && nameWatched, nativePath, tick);
        return nullptr;
    }
    bool watched = nameWatched && !linked_ && fileWatch_ >= 0;
    Stamp stamp{static_cast<std::uint64_t>(now.st_size), nanoseconds(now.st_mtim),
                nanoseconds(now.st_ctim)};
    bool same =
        handle_ >= 0 && path_ == nativePath && device_ == now.st_dev && inode_ == now.st_ino;
    if (same && settled_ && stamp == stamp_) {
        trust(watched, nativePath, tick);
        return &content_;
    }
    if (!same) {
        close();
        int handle = ::open(nativePath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (handle < 0) return nullptr;
        struct stat opened {};
        // Replaced between the look and the open: the next read looks again.
        if (::fstat(handle, &opened) != 0 || !S_ISREG(opened.st_mode) ||
            opened.st_dev != now.st_dev || opened.st_ino != now.st_ino) {
            ::close(handle);
            return nullptr;
        }
        handle_ = handle;
        path_ = nativePath;
        device_ = now.st_dev;
        inode_ = now.st_ino;
    }
    // A change after the look above gets a change time no earlier than a
    // coarse clock tick before it, so later than this less the settling
    // time: a stamp that old, once settled, cannot come back.
    timespec readAt{};
    ::clock_gettime(CLOCK_REALTIME, &readAt);
    settled_ = false;
    content_.resize(stamp.size);
    ssize_t got;
    do {
        got = ::pread(handle_, content_.data(), content_.size(), 0);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        content_.clear();
        *failed = true;
        return &content_;
    }
    content_.resize(static_cast<std::size_t>(got));
    stamp_ = stamp;
    settled_ = stamp.changed <=
               nanoseconds(readAt) - static_cast<std::int64_t>(settleSeconds_) * 1000000000;
    trust(watched, nativePath, tick);
    return &content_;
}

// ---- DirectoryReader ----

DirectoryReader::DirectoryReader(const std::string& nativePath)
    : stream_(::opendir(nativePath.c_str())), path_(nativePath) {}

DirectoryReader::~DirectoryReader() {
    if (stream_ != nullptr) ::closedir(static_cast<DIR*>(stream_));
}

DirectoryReader::DirectoryReader(DirectoryReader&& other) noexcept
    : stream_(other.stream_), path_(std::move(other.path_)) {
    other.stream_ = nullptr;
}

bool DirectoryReader::next(DirectoryEntry& entry) {
    if (stream_ == nullptr) return false;
    while (dirent* found = ::readdir(static_cast<DIR*>(stream_))) {
        std::string_view name = found->d_name;
        if (name == "." || name == ".." || name.starts_with(FileSystem::UPLOAD_TEMP_PREFIX))
            continue;
        entry.name = std::string(name);
        entry.isDirectory = found->d_type == DT_DIR;
        if (found->d_type == DT_UNKNOWN || found->d_type == DT_LNK)
            entry.isDirectory = isDirectoryPath(path_ + "/" + entry.name);
        return true;
    }
    return false;
}

// ---- SourceFile ----

SourceFile::~SourceFile() {
    close();
}

SourceFile::SourceFile(SourceFile&& other) noexcept
    : handle_(other.handle_), size_(other.size_), error_(other.error_) {
    other.handle_ = -1;
}

SourceFile& SourceFile::operator=(SourceFile&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = other.handle_;
        size_ = other.size_;
        error_ = other.error_;
        other.handle_ = -1;
    }
    return *this;
}

bool SourceFile::open(const std::string& nativePath) {
    close();
    // O_NONBLOCK: opening a FIFO planted in a folder must not hang the server.
    int handle = ::open(nativePath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (handle < 0) {
        error_ = errno;
        return false;
    }
    struct stat info {};
    if (::fstat(handle, &info) != 0 || !S_ISREG(info.st_mode)) {
        error_ = ENOENT;
        ::close(handle);
        return false;
    }
    handle_ = handle;
    size_ = static_cast<std::uint64_t>(info.st_size);
    error_ = 0;
    return true;
}

void SourceFile::close() {
    if (handle_ >= 0) ::close(handle_);
    handle_ = -1;
    size_ = 0;
}

long SourceFile::readAt(void* buffer, std::size_t length, std::uint64_t offset) const {
    for (;;) {
        ssize_t got = ::pread(handle_, buffer, length, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        return static_cast<long>(got);
    }
}

// ---- UploadFile ----

OwnedHandle::OwnedHandle(OwnedHandle&& other) noexcept : handle_(other.handle_) {
    other.handle_ = -1;
}

OwnedHandle& OwnedHandle::operator=(OwnedHandle&& other) noexcept {
    if (this != &other) {
        reset();
        handle_ = other.handle_;
        other.handle_ = -1;
    }
    return *this;
}

void OwnedHandle::reset() {
    if (handle_ >= 0) ::close(handle_);
    handle_ = -1;
}

UploadFile::~UploadFile() {
    abandon();
}

bool UploadFile::begin(const std::string& nativeTarget) {
    abandon();
    failed_ = false;
    error_ = 0;
    // A read-only file is not written over, as it is not deleted.
    if (isDirectoryPath(nativeTarget)) {
        error_ = EISDIR;
        return false;
    }
    if (isReadOnlyPath(nativeTarget)) {
        error_ = EACCES;
        return false;
    }
    std::string folder = folderOf(nativeTarget);
    // An unnamed file leaves nothing behind if the process dies mid-upload.
    int handle = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
    if (handle < 0) {
        error_ = errno;
        if (error_ != EOPNOTSUPP && error_ != EISDIR && error_ != EINVAL) return false;
        std::string named = hiddenTemporaryIn(folder);
        handle = ::open(named.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (handle < 0) {
            error_ = errno;
            return false;
        }
        error_ = 0;
        tempPath_ = named;
    }
    handle_ = handle;
    target_ = nativeTarget;
    return true;
}

bool UploadFile::write(const void* data, std::size_t length) {
    if (handle_ < 0 || failed_) return false;
    if (!writeAll(handle_, static_cast<const char*>(data), length)) {
        error_ = errno;
        failed_ = true;
    }
    return !failed_;
}

bool UploadFile::commit(OwnedHandle* replaced) {
    if (handle_ < 0) return false;
    if (failed_) {
        abandon();
        return false;
    }
    if (replaced != nullptr)
        *replaced =
            OwnedHandle(::open(target_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    bool done = false;
    if (tempPath_.empty()) {
        // Give the unnamed file a hidden name, then rename it over the target.
        std::string named = hiddenTemporaryIn(folderOf(target_));
        bool linked = ::linkat(handle_, "", AT_FDCWD, named.c_str(), AT_EMPTY_PATH) == 0 ||
                      ::linkat(AT_FDCWD, ("/proc/self/fd/" + std::to_string(handle_)).c_str(),
                               AT_FDCWD, named.c_str(), AT_SYMLINK_FOLLOW) == 0;
        if (!linked) {
            error_ = errno;
        } else if (::rename(named.c_str(), target_.c_str()) == 0) {
            done = true;
        } else {
            error_ = errno;
            ::unlink(named.c_str());
        }
    } else if (::rename(tempPath_.c_str(), target_.c_str()) == 0) {
        done = true;
        tempPath_.clear();
    } else {
        error_ = errno;
    }
    abandon();
    return done;
}

void UploadFile::abandon() {
    if (handle_ >= 0) ::close(handle_);
    handle_ = -1;
    if (!tempPath_.empty()) ::unlink(tempPath_.c_str());
    tempPath_.clear();
}

// ---- FileSystem ----

FileSystem::FileSystem(std::string root) : root_(std::move(root)) {
    if (root_.empty()) root_ = ".";
    while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
}

std::string FileSystem::nativePath(std::string_view stored) const {
    std::string path = root_;
    path.reserve(root_.size() + 1 + stored.size());
    path += '/';
    for (char c : stored) path += (c == '\\') ? '/' : c;
    return path;
}

bool FileSystem::hasParentComponent(std::string_view name) {
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = name.find_first_of("\\/", start);
        if (end == std::string_view::npos) end = name.size();
        if (name.substr(start, end - start) == "..") return true;
        start = end + 1;
    }
    return false;
}

bool FileSystem::namesUploadTemporary(std::string_view name) {
    std::size_t slash = name.find_last_of("\\/");
    std::string_view last = slash == std::string_view::npos ? name : name.substr(slash + 1);
    return last.starts_with(UPLOAD_TEMP_PREFIX);
}

bool FileSystem::isDirectory(std::string_view stored) const {
    return isDirectoryPath(nativePath(stored));
}

bool FileSystem::exists(std::string_view stored) const {
    struct stat info {};
    return ::lstat(nativePath(stored).c_str(), &info) == 0;
}

bool FileSystem::makeDirectory(std::string_view stored) const {
    kept_.distrust();
    return ::mkdir(nativePath(stored).c_str(), 0755) == 0;
}

bool FileSystem::removeFile(std::string_view stored) const {
    kept_.distrust();
    return ::unlink(nativePath(stored).c_str()) == 0;
}

bool FileSystem::removeEmptyDirectory(std::string_view stored) const {
    kept_.distrust();
    return ::rmdir(nativePath(stored).c_str()) == 0;
}

bool FileSystem::isReadOnlyFile(std::string_view stored) const {
    return isReadOnlyPath(nativePath(stored));
}

bool FileSystem::renameNoReplace(std::string_view from, std::string_view to) const {
    kept_.distrust();
    return renameNoReplaceNative(nativePath(from), nativePath(to));
}

std::optional<std::uint32_t> FileSystem::measureFile(std::string_view stored) const {
    std::string path = nativePath(stored);
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<std::uint64_t>(info.st_size) >= 0xFFFFFFFFull)
        return std::nullopt;
    // Only a file that can be opened has a size to tell. Its owner with read
    // permission can always open it (the server's own files); anyone else
    // finds out by opening it.
    static const uid_t self = ::geteuid();  // the server never changes its user
    bool ownReadable = info.st_uid == self && (info.st_mode & S_IRUSR) != 0;
    if (!ownReadable) {
        SourceFile file;
        if (!file.open(path)) return std::nullopt;
    }
    return static_cast<std::uint32_t>(info.st_size);
}

LineReader FileSystem::readLines(std::string_view stored) const {
    return LineReader(nativePath(stored), kept_);
}

bool FileSystem::listDirectory(std::string_view stored,
                               std::vector<DirectoryEntry>& entries) const {
    DirectoryReader reader = openDirectory(stored);
    if (!reader.isOpen()) return false;
    DirectoryEntry entry;
    while (reader.next(entry)) entries.push_back(entry);
    return true;
}

DirectoryReader FileSystem::openDirectory(std::string_view stored) const {
    return DirectoryReader(nativePath(stored));
}

bool FileSystem::appendRecord(std::string_view stored, std::string_view record, bool durable,
                              unsigned mode) const {
    kept_.distrust();
    std::string path = nativePath(stored);
    // Opened without O_CREAT first, so that a failed append knows whether the
    // file was its own to remove again.
    bool created = false;
    int handle = ::open(path.c_str(), O_RDWR | O_APPEND | O_NONBLOCK | O_CLOEXEC);
    if (handle < 0 && errno == ENOENT) {
        handle = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_NONBLOCK | O_CLOEXEC,
                        mode);
        created = handle >= 0;
    }
    if (handle < 0) return false;
    struct stat info {};
    bool ok = ::fstat(handle, &info) == 0 && S_ISREG(info.st_mode);
    std::string bytes;
    if (ok && info.st_size > 0) {
        char last = 0;
        ok = ::pread(handle, &last, 1, info.st_size - 1) == 1;
        // A last line without its line end would fuse with the record. A CR
        // alone is no line end: it stays part of that line, as readers see it.
        if (last != '\n') bytes = "\r\n";
    }
    if (!ok) {
        ::close(handle);
        return false;
    }
    bytes.append(record);
    // One write: a reader or a crash sees the whole record or none of it.
    ok = writeAll(handle, bytes.data(), bytes.size());
    if (ok && durable) ok = ::fsync(handle) == 0;
    if (!ok) {
        // A write cut short (a full disk) leaves the start of the record, which
        // the next append's line end would complete into a record nobody made:
        // an account whose password is a prefix of the one sent, a catalog
        // line naming a file that does not exist. The file goes back to the
        // length it had, line end and all.
        if (created) {
            ::unlink(path.c_str());
        } else if (::ftruncate(handle, info.st_size) == 0 && durable) {
            ::fsync(handle);
        }
    }
    ::close(handle);
    return ok;
}

bool FileSystem::replaceContent(std::string_view stored, std::string_view temporary,
                                std::string_view content, unsigned mode) const {
    kept_.distrust();
    std::string target = nativePath(stored);
    std::string temp = nativePath(temporary);
    int handle = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (handle < 0) return false;
    bool ok = writeAll(handle, content.data(), content.size()) && ::fsync(handle) == 0;
    ok = ::close(handle) == 0 && ok;
    // Rename over the target with no delete first: the catalog is never missing.
    if (ok) ok = ::rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) ::unlink(temp.c_str());
    return ok;
}

bool FileSystem::copyFile(const std::string& nativeFrom, std::string_view storedTo) const {
    kept_.distrust();
    SourceFile source;
    if (!source.open(nativeFrom)) return false;
    UploadFile target;
    if (!target.begin(nativePath(storedTo))) return false;
    std::vector<char> chunk(1 << 20);
    std::uint64_t offset = 0;
    for (;;) {
        long got = source.readAt(chunk.data(), chunk.size(), offset);
        if (got < 0) return false;
        if (got == 0) break;
        if (!target.write(chunk.data(), static_cast<std::size_t>(got))) return false;
        offset += static_cast<std::uint64_t>(got);
    }
    return target.commit();
}

namespace {

// Walks a folder tree without following links, removing upload temporaries.
void sweepTemporaries(const std::string& folder, int depthLeft) {
    DIR* directory = ::opendir(folder.c_str());
    if (directory == nullptr) return;
    while (dirent* entry = ::readdir(directory)) {
        std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        if (name.starts_with(FileSystem::UPLOAD_TEMP_PREFIX)) {
            ::unlinkat(::dirfd(directory), entry->d_name, 0);
            continue;
        }
        if (depthLeft <= 0) continue;
        bool isFolder = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat info {};
            isFolder =
                ::fstatat(::dirfd(directory), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISDIR(info.st_mode);
        }
        if (isFolder) sweepTemporaries(folder + "/" + std::string(name), depthLeft - 1);
    }
    ::closedir(directory);
}

}  // namespace

void FileSystem::removeStaleTemporaries() const {
    kept_.distrust();
    for (const char* name : {"vxttemp.tmp", "vxtTemp.tmp"}) ::unlink(nativePath(name).c_str());
    sweepTemporaries(root_, 0);
    sweepTemporaries(nativePath("Users"), 32);
}

}  // namespace vextora
