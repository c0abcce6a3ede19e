#include "client/wildcards.h"

#include <algorithm>
#include <filesystem>

namespace vextora::client {

namespace {

bool isSeparator(char c) {
    return c == '/' || c == '\\';
}

// Matches the set that starts at pattern[0] == '[' against `c`. Returns the
// length of the set in the pattern, or 0 when it has no closing ']' (the
// '[' is then an ordinary character).
std::size_t matchSet(std::string_view pattern, char c, bool& matched) {
    std::size_t index = 1;
    bool negated = index < pattern.size() && (pattern[index] == '!' || pattern[index] == '^');
    if (negated) ++index;
    bool found = false;
    bool first = true;
    for (; index < pattern.size(); ++index) {
        char low = pattern[index];
        if (low == ']' && !first) {
            matched = found != negated;
            return index + 1;
        }
        first = false;
        if (index + 2 < pattern.size() && pattern[index + 1] == '-' && pattern[index + 2] != ']') {
            char high = pattern[index + 2];
            if (static_cast<unsigned char>(c) >= static_cast<unsigned char>(low) &&
                static_cast<unsigned char>(c) <= static_cast<unsigned char>(high))
                found = true;
            index += 2;
        } else if (c == low) {
            found = true;
        }
    }
    return 0;
}

}  // namespace

bool hasWildcards(std::string_view text) {
    return text.find_first_of("*?[") != std::string_view::npos;
}

bool matchesWildcard(std::string_view pattern, std::string_view name, bool separators) {
    // Iterative, with one point to go back to: the last '*' and where in the
    // name it was tried. Linear in practice, never exponential.
    std::size_t p = 0, n = 0;
    std::size_t starP = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
            continue;
        }
        if (p < pattern.size()) {
            char c = name[n];
            bool blocked = separators && isSeparator(c);
            if (pattern[p] == '?' && !blocked) {
                ++p;
                ++n;
                continue;
            }
            if (pattern[p] == '[') {
                bool matched = false;
                std::size_t length = matchSet(pattern.substr(p), c, matched);
                if (length > 0) {
                    if (matched && !blocked) {
                        p += length;
                        ++n;
                        continue;
                    }
                } else if (c == '[') {
                    ++p;
                    ++n;
                    continue;
                }
            } else if (pattern[p] == c) {
                ++p;
                ++n;
                continue;
            }
        }
        // A mismatch: let the last '*' take one more character, if it may.
        if (starP == std::string_view::npos) return false;
        if (separators && isSeparator(name[starN])) return false;
        p = starP + 1;
        n = ++starN;
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

std::vector<std::string> expandLocal(std::string_view pattern) {
    namespace fs = std::filesystem;
    std::string_view folder, last = pattern;
    auto slash = pattern.rfind('/');
    if (slash != std::string_view::npos) {
        folder = pattern.substr(0, slash + 1);
        last = pattern.substr(slash + 1);
    }
    std::vector<std::string> found;
    std::error_code error;
    fs::directory_iterator entries(folder.empty() ? fs::path(".") : fs::path(folder), error);
    for (; !error && entries != fs::directory_iterator(); entries.increment(error)) {
        std::string name = entries->path().filename().string();
        if (name.starts_with('.') && !last.starts_with('.')) continue;
        if (matchesWildcard(last, name, true)) found.push_back(std::string(folder) + name);
    }
    std::sort(found.begin(), found.end());
    return found;
}

std::vector<std::string> matchCatalogPattern(std::string_view pattern,
                                             const std::vector<std::string>& catalog) {
    std::string whole(pattern);
    bool againstLine = whole.find_first_of("/\\") != std::string::npos;
    auto slash = whole.find('/');
    if (slash != std::string::npos && whole.find('\\') == std::string::npos) whole[slash] = '\\';
    std::vector<std::string> found;
    for (const auto& line : catalog) {
        auto separator = line.find('\\');
        std::string_view fileName = separator == std::string::npos
                                        ? std::string_view(line)
                                        : std::string_view(line).substr(separator + 1);
        bool matched = againstLine ? matchesWildcard(whole, line, true)
                                   : matchesWildcard(whole, fileName, true);
        if (matched) found.push_back(line);
    }
    return found;
}

}  // namespace vextora::client
