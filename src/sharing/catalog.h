// Catalog: the shared-file catalog `shared.dat`, one line per shared file:
// owner, one backslash, file name ("BOB\notes.txt"). The file lies at
// "Users\" + the line. Lines are matched whole, byte for byte.
//
// The catalog has no state in memory: every call reads the file afresh.
// Lines are written with CR LF; a line without its line end at the end of the
// file was torn or hand-edited and is never listed or matched. Lines longer
// than a length byte can carry (255) are never written and never listed, and
// are copied unchanged by a rewrite.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/file_system.h"

namespace vextora {

// The listable lines of the catalog as it was when it was opened, one at a
// time, each read once. It holds the open file (a small catalog: a copy of
// its content) and the line last read, never the listing: a listing of any
// catalog costs the same little memory.
class CatalogLines {
public:
    explicit CatalogLines(LineReader reader) : reader_(std::move(reader)) {}
    // The next listable line; false at the end (a missing catalog has none).
    bool next(std::string& line);

private:
    LineReader reader_;
    TextLine current_;
};

class Catalog {
public:
    static constexpr std::string_view FILE_NAME = "shared.dat";
    static constexpr std::string_view SERVER_TEMP = "vxttemp.tmp";   // the withdraw's rewrite
    static constexpr std::string_view CONSOLE_TEMP = "vxtTemp.tmp";  // the console's unshare

    // files must outlive the catalog.
    explicit Catalog(const FileSystem& files) : files_(files) {}

    // A whole, ended line of at most 255 bytes equals `line`.
    bool contains(std::string_view line) const;
    // Calls `visit` with each listable line, in file order. False when the
    // catalog cannot be read (it does not exist).
    bool forEachLine(const std::function<void(std::string_view)>& visit) const;
    // The same lines, read as they are asked for.
    CatalogLines lines() const;
    // Appends the line. Refused (false, nothing written) when it is longer
    // than 255 bytes or holds a line end.
    bool publish(std::string_view line) const;
    // Rewrites the catalog without every line equal to `line`, atomically,
    // through `temporary`. With createIfMissing false, a missing catalog stays
    // missing; otherwise it becomes an empty one. False when the rewrite failed
    // (the catalog is then unchanged).
    bool withdraw(std::string_view line, std::string_view temporary, bool createIfMissing) const;
    // Ended lines that begin with `prefix` (a plain prefix test: BOB counts
    // BOBBY's lines too). 0 without a catalog.
    int countOwnedBy(std::string_view prefix) const;

private:
    const FileSystem& files_;
};

}  // namespace vextora
