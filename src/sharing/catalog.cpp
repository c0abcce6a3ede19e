#include "sharing/catalog.h"

#include "platform/file_system.h"
#include "server/protocol.h"

namespace vextora {

namespace {

constexpr std::size_t COUNT_LINE_LIMIT = 1023;

bool listable(const TextLine& line) {
    return line.ended && line.text.size() <= MAX_TEXT;
}

}  // namespace

bool Catalog::contains(std::string_view line) const {
    LineReader reader = files_.readLines(FILE_NAME);
    TextLine current;
    while (reader.next(current)) {
        if (listable(current) && current.text == line) return true;
    }
    return false;
}

bool Catalog::forEachLine(const std::function<void(std::string_view)>& visit) const {
    LineReader reader = files_.readLines(FILE_NAME);
    if (!reader.isOpen()) return false;
    TextLine current;
    while (reader.next(current)) {
        if (listable(current)) visit(current.text);
    }
    return true;
}

CatalogLines Catalog::lines() const {
    return CatalogLines(files_.readLines(FILE_NAME));
}

bool CatalogLines::next(std::string& line) {
    while (reader_.next(current_)) {
        if (!listable(current_)) continue;
        line = current_.text;
        return true;
    }
    return false;
}

bool Catalog::publish(std::string_view line) const {
    // Every reader takes at most 255 bytes a line: a longer line would be
    // seen cut, or not at all, so it is never written.
    if (line.size() > MAX_TEXT || line.find_first_of("\r\n") != std::string_view::npos)
        return false;
    std::string record(line);
    record += "\r\n";
    return files_.appendRecord(FILE_NAME, record, false);
}

bool Catalog::withdraw(std::string_view line, std::string_view temporary,
                       bool createIfMissing) const {
    LineReader reader = files_.readLines(FILE_NAME);
    // A catalog that exists but cannot be read is left alone, never replaced.
    if (!reader.isOpen() && (!createIfMissing || files_.exists(FILE_NAME))) return false;
    std::string kept;
    TextLine current;
    while (reader.next(current)) {
        if (current.text == line) continue;
        kept += current.text;
        kept += "\r\n";
    }
    if (reader.failed()) return false;
    return files_.replaceContent(FILE_NAME, temporary, kept);
}

int Catalog::countOwnedBy(std::string_view prefix) const {
    LineReader reader = files_.readLines(FILE_NAME);
    int count = 0;
    TextLine current;
    while (reader.next(current)) {
        if (!current.ended) break;
        std::string_view kept = current.text;
        if (kept.size() > COUNT_LINE_LIMIT) kept = kept.substr(0, COUNT_LINE_LIMIT);
        if (kept.starts_with(prefix)) ++count;
    }
    return count;
}

}  // namespace vextora
