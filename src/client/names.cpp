#include "client/names.h"

#include <algorithm>

#include "platform/file_system.h"
#include "server/protocol.h"

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

namespace {

bool hasControlByte(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        auto byte = static_cast<unsigned char>(c);
        return byte < 32 || byte == 127;
    });
}

// Four dot-separated runs of one to three digits: what a guest's or a
// logged-out session's folder is named after.
bool readsAsDottedAddress(std::string_view name) {
    int parts = 0;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = name.find('.', start);
        std::string_view part =
            name.substr(start, end == std::string_view::npos ? end : end - start);
        if (part.empty() || part.size() > 3 ||
            !std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return false;
        ++parts;
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return parts == 4;
}

}  // namespace

bool inSubFolder(std::string_view name) {
    return name.find_first_of("\\/") != std::string_view::npos;
}

std::string_view topComponent(std::string_view name) {
    return name.substr(0, name.find_first_of("\\/"));
}

std::string fileNameProblem(std::string_view name) {
    if (name.empty()) return "an empty name names no file";
    if (name.size() > MAX_TEXT) return "a name or password is longer than 255 bytes";
    if (hasControlByte(name))
        return "the name holds a control character (shown as ?), such as a line end or a tab; "
               "listings and the catalog cannot carry it";
    if (FileSystem::hasParentComponent(name))
        return "a name with a '..' part would leave your folder";
    if (name.back() == '/' || name.back() == '\\')
        return "a name that ends in a separator names no file";
    if (FileSystem::namesUploadTemporary(name))
        return "names beginning with " + std::string(FileSystem::UPLOAD_TEMP_PREFIX) +
               " are the server's own";
    return {};
}

std::string accountNameProblem(std::string_view name) {
    std::string upper = upperAscii(name);
    if (name.empty()) return "an account needs a name";
    if (name == "." || name == "..") return "'.' and '..' name folders, not accounts";
    if (name.size() > MAX_ACCOUNT_NAME) return "a name is at most 253 bytes";
    if (name.find_first_of("\\/") != std::string_view::npos)
        return "a name cannot hold '/' or '\\'";
    if (hasControlByte(name)) return "a name cannot hold a control character, such as a line end";
    if (name.front() == ' ' || name.back() == ' ') return "a name cannot begin or end with a blank";
    if (upper == "ADMIN" || upper == "GUEST" || upper == "SERVERSHARE")
        return upper + " is reserved by the server";
    if (readsAsDottedAddress(name))
        return "a name that reads as an address is how the server names guests";
    return {};
}

bool looksBinary(const void* data, std::size_t length) {
    auto bytes = static_cast<const unsigned char*>(data);
    return std::any_of(bytes, bytes + length, [](unsigned char byte) {
        return (byte < 32 && byte != '\t' && byte != '\n' && byte != '\f' && byte != '\r') ||
               byte == 127;
    });
}

}  // namespace vextora::client
