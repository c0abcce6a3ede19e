// Names: between what a user types and what the server expects.
//
// A catalog line is the owner, a backslash, and the file name. Typing a
// backslash in a shell is awkward, so OWNER/file finds OWNER\file too; the
// server itself serves only exact catalog lines.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vextora::client {

struct CatalogMatch {
    std::optional<std::string> line;       // the catalog line to ask for
    std::vector<std::string> suggestions;  // when none matched: lines with that file name
};

// The exact line first; else, when `typed` has a '/', the line with its first
// '/' read as the backslash.
CatalogMatch matchCatalogLine(std::string_view typed, const std::vector<std::string>& catalog);

// The name a downloaded file gets locally: the part after the last '\' or
// '/'. Empty for a name that would not stay in the destination folder ("",
// ".", "..").
std::optional<std::string> localNameFor(std::string_view remote);

// The upper-case form in which the server keeps account names: a to z only.
std::string upperAscii(std::string_view text);

// The text with every control byte (below 32, and 127) shown as '?'. Names
// come from other users; shown raw on a terminal, escape sequences in them
// would drive that terminal.
std::string printable(std::string_view text);

// Why a name cannot be given to a file in the own folder (an upload's name,
// a rename's new name), or empty when it can. The server stores a name with
// a line end, but the catalog cannot hold its line and every listing breaks
// at it, so no control byte is ever sent in a new name.
std::string fileNameProblem(std::string_view name);
// Why the server would refuse to create an account of this name, or empty
// when it would not: the one cause, said before anything is sent. A refusal
// that still comes means the name is taken.
std::string accountNameProblem(std::string_view name);
// True when the name holds '/' or '\': it names a file in a sub-folder.
bool inSubFolder(std::string_view name);
// The first component of a name: the entry of the own folder it lies in.
std::string_view topComponent(std::string_view name);

// True when bytes that are not text are among these: any control byte
// but tab, line feed, form feed and carriage return. Escape (27) counts as
// binary, as its sequences drive a terminal.
bool looksBinary(const void* data, std::size_t length);

}  // namespace vextora::client
