#include "client/names.h"

#include <algorithm>

namespace vextora::client {

CatalogMatch matchCatalogLine(std::string_view typed, const std::vector<std::string>& catalog) {
    CatalogMatch match;
    auto has = [&](const std::string& line) {
        return std::find(catalog.begin(), catalog.end(), line) != catalog.end();
    };
    std::string exact(typed);
    if (has(exact)) {
        match.line = exact;
        return match;
    }
    auto slash = exact.find('/');
    if (slash != std::string::npos) {
        std::string backslashed = exact;
        backslashed[slash] = '\\';
        if (has(backslashed)) {
            match.line = backslashed;
            return match;
        }
    }
    for (const auto& line : catalog) {
        auto separator = line.find('\\');
        if (separator != std::string::npos && std::string_view(line).substr(separator + 1) == typed)
            match.suggestions.push_back(line);
    }
    return match;
}

std::optional<std::string> localNameFor(std::string_view remote) {
    auto separator = remote.find_last_of("\\/");
    std::string_view name =
        separator == std::string_view::npos ? remote : remote.substr(separator + 1);
    if (name.empty() || name == "." || name == "..") return std::nullopt;
    return std::string(name);
}

std::string upperAscii(std::string_view text) {
    std::string upper(text);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return upper;
}

std::string printable(std::string_view text) {
    std::string shown(text);
    for (char& c : shown) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 32 || byte == 127) c = '?';
    }
    return shown;
}

}  // namespace vextora::client
