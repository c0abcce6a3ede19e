// Names: between what a user types and what the server expects.
//
// A catalog line is the owner, a backslash, and the file name. Typing a
// backslash in a shell is awkward, so OWNER/file finds OWNER\file too; the
// server itself serves only exact catalog lines.
#pragma once

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

}  // namespace vextora::client
