// Wildcards: the patterns that mput and mget take, read as a shell reads them.
//
// '*' stands for any run of characters, '?' for one, and [abc], [a-z] or
// [!abc] for one of a set. A '[' without its ']' is an ordinary character,
// and there is no escape: a backslash is a character of catalog lines.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vextora::client {

// True when the text holds '*', '?' or '['.
bool hasWildcards(std::string_view text);

// With `separators` set, '*', '?' and sets never stand for '/' or '\\', as a
// shell never lets them stand for a folder separator.
bool matchesWildcard(std::string_view pattern, std::string_view name, bool separators = false);

// The local paths a pattern names, sorted. Wildcards count in the last
// component only; the folder part is taken as it is. A leading '.' of a name
// is matched only by a pattern that starts with one, as in a shell. Empty
// when nothing matches or the folder cannot be read.
std::vector<std::string> expandLocal(std::string_view pattern);

// The catalog lines a pattern names, in catalog order. A pattern with a '/'
// or a '\\' is matched against the whole line, its first '/' read as the
// backslash (BOB/*.pdf); one without is matched against the file names
// (*.pdf, whoever shares them).
std::vector<std::string> matchCatalogPattern(std::string_view pattern,
                                             const std::vector<std::string>& catalog);

}  // namespace vextora::client
