#include "file_checks.h"

#include <optional>
#include <vector>

#include "accounts/account_store.h"
#include "platform/file_system.h"
#include "scratch_folder.h"
#include "script_reader.h"
#include "server/payload_reader.h"
#include "sharing/catalog.h"

namespace vextora::fuzz {

namespace {

// ---- The model of the line format ----

struct ModelLine {
    std::string text;  // without its line end
    bool ended = false;
};

std::vector<ModelLine> modelLines(const std::string& content) {
    std::vector<ModelLine> lines;
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back({content.substr(start), false});
            break;
        }
        std::string text = content.substr(start, end - start);
        if (!text.empty() && text.back() == '\r') text.pop_back();
        lines.push_back({text, true});
        start = end + 1;
    }
    return lines;
}

// Lines longer than the reader keeps are its own concern (checkLineReader);
// the file models below hold only for lines it keeps whole.
bool allKeptWhole(const std::string& content) {
    std::size_t start = 0;
    while (start <= content.size()) {
        std::size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        if (end - start > LineReader::KEEP_LIMIT) return false;
        start = end + 1;
    }
    return true;
}

// What an append added after the old content.
std::string appended(const std::string& before, const std::string& after) {
    return after.substr(before.size());
}

// Every line, the last included, ends with CR LF.
bool wholeCrLfLines(const std::string& content) {
    if (content.empty()) return true;
    if (content.size() < 2 || content.compare(content.size() - 2, 2, "\r\n") != 0) return false;
    for (std::size_t at = content.find('\n'); at != std::string::npos;
         at = content.find('\n', at + 1)) {
        if (at == 0 || content[at - 1] != '\r') return false;
    }
    return true;
}

std::string upper(std::string text) {
    uppercaseInPlace(text);
    return text;
}

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c >= 32 && c < 127 && c != '"' && c != '\\') {
            out += static_cast<char>(c);
        } else {
            static const char* const HEX = "0123456789abcdef";
            out += "\\x";
            out += HEX[c >> 4];
            out += HEX[c & 15];
        }
    }
    return out + "\"";
}

// ---- users.dat ----

struct ModelRecord {
    std::string name;
    std::string password;
    bool complete = false;  // the password line is ended
};

std::vector<ModelRecord> modelRecords(const std::string& content) {
    std::vector<ModelLine> lines = modelLines(content);
    std::vector<ModelRecord> records;
    for (std::size_t i = 0; i + 1 < lines.size(); i += 2) {
        if (!lines[i].ended) break;
        records.push_back({lines[i].text, lines[i + 1].text, lines[i + 1].ended});
    }
    return records;
}

std::vector<ModelRecord> completeRecords(const std::string& content) {
    std::vector<ModelRecord> all = modelRecords(content);
    std::erase_if(all, [](const ModelRecord& record) { return !record.complete; });
    return all;
}

// Stored names and passwords are C strings: they end at a NUL.
LoginCheck modelLogin(const std::string& content, const std::string& upperName,
                      const std::string& password) {
    for (const auto& record : completeRecords(content)) {
        if (upper(untilNul(record.name)) != upperName) continue;
        return untilNul(record.password) == password ? LoginCheck::Ok : LoginCheck::WrongPassword;
    }
    return LoginCheck::NoSuchAccount;
}

// Every record's name counts, and so does a last name line whose password
// line never came.
bool modelTaken(const std::string& content, const std::string& upperName) {
    for (const auto& record : modelRecords(content)) {
        if (upper(untilNul(record.name)) == upperName) return true;
    }
    std::vector<ModelLine> lines = modelLines(content);
    std::size_t paired = 0;
    while (paired + 1 < lines.size() && lines[paired].ended) paired += 2;
    return paired < lines.size() && upper(untilNul(lines[paired].text)) == upperName;
}

// The names and passwords the account files cannot hold, or must not hold.
bool modelRefusable(const std::string& upperName, const std::string& password) {
    if (upperName.empty() || upperName == "." || upperName == ".." || upperName.size() > 253)
        return true;
    for (char c : upperName) {
        if (c == '\\' || c == '/' || c == '\r' || c == '\n' || c == '\0') return true;
    }
    if (password.find_first_of("\r\n") != std::string::npos) return true;
    return upperName == "ADMIN" || upperName == "GUEST" || upperName == "SERVERSHARE";
}

std::string modelAdminPassword(const std::string& content) {
    std::size_t end = content.find('\n');
    std::string first = content.substr(0, end);
    if (end != std::string::npos && !first.empty() && first.back() == '\r') first.pop_back();
    return untilNul(first).substr(0, 255);
}

std::string describe(LoginCheck check) {
    switch (check) {
        case LoginCheck::Ok:
            return "ok";
        case LoginCheck::NoSuchAccount:
            return "no such account";
        case LoginCheck::WrongPassword:
            return "wrong password";
    }
    return "?";
}

// `password` as a request delivers it: up to a NUL.
std::string checkCreation(const AccountStore& store, const ScratchFolder& scratch,
                          const std::string& name, const std::string& password) {
    std::string before = scratch.read("users.dat");
    std::string upperName = upper(name);
    CreateOutcome outcome = store.create(name, password);
    std::string after = scratch.read("users.dat");
    std::string what = "creating " + quoted(name) + " / " + quoted(password) + ": ";

    if (outcome != CreateOutcome::Created) {
        if (after != before) return what + "refused, but users.dat changed";
        if (outcome == CreateOutcome::Refused && !modelRefusable(upperName, password) &&
            !modelTaken(before, upperName))
            return what + "refused an acceptable, unused name";
        return {};
    }
    if (modelRefusable(upperName, password)) return what + "created a name that must be refused";
    if (modelTaken(before, upperName)) return what + "created a name that was taken";
    if (after.compare(0, before.size(), before) != 0)
        return what + "earlier bytes of users.dat changed";
    if (!wholeCrLfLines(appended(before, after)))
        return what + "the appended record is not whole CR LF lines";
    std::vector<ModelRecord> old = completeRecords(before);
    std::vector<ModelRecord> now = completeRecords(after);
    if (now.size() < old.size() + 1) return what + "a record went missing";
    for (std::size_t i = 0; i < old.size(); ++i) {
        if (now[i].name != old[i].name || now[i].password != old[i].password)
            return what + "record " + std::to_string(i) + " changed: " + quoted(old[i].name) +
                   " became " + quoted(now[i].name);
    }
    if (now.back().name != upperName || now.back().password != password)
        return what + "the new record is not last";
    if (store.checkAccount(upperName, password) != LoginCheck::Ok)
        return what + "the new account cannot log in";
    if (!store.nameTaken(upperName)) return what + "the new name is not taken";
    return {};
}

// ---- shared.dat ----

std::vector<std::string> modelListable(const std::string& content) {
    std::vector<std::string> listable;
    for (const auto& line : modelLines(content)) {
        if (line.ended && line.text.size() <= 255) listable.push_back(line.text);
    }
    return listable;
}

int modelOwnedCount(const std::string& content, const std::string& prefix) {
    int count = 0;
    for (const auto& line : modelLines(content)) {
        if (!line.ended) break;
        if (line.text.substr(0, 1023).starts_with(prefix)) ++count;
    }
    return count;
}

std::vector<std::string> texts(const std::vector<ModelLine>& lines) {
    std::vector<std::string> all;
    for (const auto& line : lines) all.push_back(line.text);
    return all;
}

std::string checkPublish(const Catalog& catalog, const ScratchFolder& scratch,
                         const std::string& line) {
    bool existed = scratch.exists("shared.dat");
    std::string before = scratch.read("shared.dat");
    bool published = catalog.publish(line);
    std::string after = scratch.read("shared.dat");
    std::string what = "publishing " + quoted(line) + ": ";
    bool writable = line.size() <= 255 && line.find_first_of("\r\n") == std::string::npos;
    if (published != writable) return what + (published ? "written" : "refused");
    if (!published) {
        if (after != before || scratch.exists("shared.dat") != existed)
            return what + "refused, but the catalog changed";
        return {};
    }
    if (after.compare(0, before.size(), before) != 0) return what + "earlier bytes changed";
    if (!wholeCrLfLines(appended(before, after)))
        return what + "the appended line is not a whole CR LF line";
    std::vector<ModelLine> old = modelLines(before);
    std::vector<ModelLine> now = modelLines(after);
    if (now.size() != old.size() + 1 || now.back().text != line || !now.back().ended)
        return what + "the line is not the one new last line";
    for (std::size_t i = 0; i < old.size(); ++i) {
        // A torn last line gets its line end first and reads as before.
        if (!now[i].ended || now[i].text != old[i].text)
            return what + "line " + std::to_string(i) + " " + quoted(old[i].text) + " became " +
                   quoted(now[i].text);
    }
    if (!catalog.contains(line)) return what + "the line is not found afterwards";
    return {};
}

std::string checkWithdraw(const Catalog& catalog, const ScratchFolder& scratch,
                          const std::string& line, std::string_view temporary,
                          bool createIfMissing) {
    bool existed = scratch.exists("shared.dat");
    std::string before = scratch.read("shared.dat");
    bool rewritten = catalog.withdraw(line, temporary, createIfMissing);
    std::string after = scratch.read("shared.dat");
    std::string what = "withdrawing " + quoted(line) + ": ";
    if (scratch.exists(std::string(Catalog::SERVER_TEMP)) ||
        scratch.exists(std::string(Catalog::CONSOLE_TEMP)))
        return what + "a temporary file stayed behind";
    if (!rewritten) {
        if (existed || createIfMissing) return what + "the rewrite failed";
        if (scratch.exists("shared.dat")) return what + "a missing catalog was created";
        return {};
    }
    if (!scratch.exists("shared.dat")) return what + "the catalog is missing";
    if (!wholeCrLfLines(after)) return what + "the rewrite left a line that is not whole";
    std::vector<std::string> expected = texts(modelLines(before));
    std::erase(expected, line);
    if (texts(modelLines(after)) != expected)
        return what + "the other lines were not kept exactly, in order";
    if (catalog.contains(line)) return what + "the line is still found";
    return {};
}

}  // namespace

std::string checkAccountFiles(std::span<const std::uint8_t> input, const ScratchFolder& scratch) {
    scratch.clear();
    ScriptReader script(input);
    std::string accounts = script.text16();
    std::string adminFile = script.text8();
    scratch.write("users.dat", accounts);
    scratch.write("adminpass.cfg", adminFile);
    FileSystem files(scratch.data());
    AccountStore store(files);
    if (!allKeptWhole(accounts)) return {};

    if (store.adminPassword() != modelAdminPassword(adminFile))
        return "administrator password " + quoted(store.adminPassword()) + ", expected " +
               quoted(modelAdminPassword(adminFile));
    for (int operation = 0; operation < 64 && !script.done(); ++operation) {
        std::uint8_t code = script.byte() % 3;
        std::string name = script.text8();
        std::string password = script.text8();
        std::string content = scratch.read("users.dat");
        std::string upperName = upper(name);
        if (code == 0) {
            LoginCheck got = store.checkAccount(upperName, password);
            LoginCheck expected = modelLogin(content, upperName, password);
            if (got != expected)
                return "login " + quoted(upperName) + " / " + quoted(password) + ": " +
                       describe(got) + ", expected " + describe(expected);
        } else if (code == 1) {
            if (store.nameTaken(upperName) != modelTaken(content, upperName))
                return "name " + quoted(upperName) +
                       " taken: " + (store.nameTaken(upperName) ? "yes" : "no") +
                       ", expected the opposite";
        } else if (std::string failure = checkCreation(store, scratch, name, untilNul(password));
                   !failure.empty()) {
            return failure;
        }
    }
    return scratch.strayEntries();
}

std::string checkCatalogFile(std::span<const std::uint8_t> input, const ScratchFolder& scratch) {
    scratch.clear();
    ScriptReader script(input);
    std::string content = script.text16();
    scratch.write("shared.dat", content);
    FileSystem files(scratch.data());
    Catalog catalog(files);
    if (!allKeptWhole(content)) return {};

    for (int operation = 0; operation < 64 && !script.done(); ++operation) {
        std::uint8_t code = script.byte() % 7;
        std::string now = scratch.read("shared.dat");
        std::string failure;
        switch (code) {
            case 0: {
                std::string line = script.text8();
                std::vector<std::string> listable = modelListable(now);
                bool expected = std::find(listable.begin(), listable.end(), line) != listable.end();
                if (catalog.contains(line) != expected)
                    failure = "look-up of " + quoted(line) + " disagrees with the file";
                break;
            }
            case 1: {
                std::vector<std::string> listed;
                bool opened =
                    catalog.forEachLine([&](std::string_view line) { listed.emplace_back(line); });
                // The listing a client gets, line by line as it takes them.
                std::vector<std::string> streamed;
                CatalogLines lines = catalog.lines();
                for (std::string line; lines.next(line);) streamed.push_back(line);
                if (opened != scratch.exists("shared.dat"))
                    failure = "listing: opened a catalog that is missing, or not one that exists";
                else if (listed != modelListable(now))
                    failure = "listing disagrees with the file";
                else if (streamed != listed)
                    failure = "the listing read line by line differs from the whole listing";
                break;
            }
            case 2: {
                std::string prefix = script.text8();
                if (catalog.countOwnedBy(prefix) != modelOwnedCount(now, prefix))
                    failure = "count of lines owned by " + quoted(prefix) + ": " +
                              std::to_string(catalog.countOwnedBy(prefix)) + ", expected " +
                              std::to_string(modelOwnedCount(now, prefix));
                break;
            }
            case 3:
                failure = checkPublish(catalog, scratch, script.text8());
                break;
            case 4:
                failure =
                    checkWithdraw(catalog, scratch, script.text8(), Catalog::SERVER_TEMP, true);
                break;
            case 5: {
                std::uint8_t flags = script.byte();
                failure = checkWithdraw(catalog, scratch, script.text8(),
                                        flags & 1 ? Catalog::CONSOLE_TEMP : Catalog::SERVER_TEMP,
                                        (flags & 2) != 0);
                break;
            }
            case 6:
                files.removeFile(Catalog::FILE_NAME);
                break;
        }
        if (!failure.empty()) return failure;
    }
    return scratch.strayEntries();
}

std::string checkLineReader(std::span<const std::uint8_t> input, const ScratchFolder& scratch) {
    // Hosts are read at most 511 characters a line; the console's host-list
    // reader takes its lines from this reader.
    constexpr std::size_t HOST_LINE_LIMIT = 511;
    // Past the keep limit and several read buffers, yet quick to write.
    constexpr std::size_t LARGEST_FILE = 160 * 1024;

    scratch.clear();
    ScriptReader script(input);
    std::uint8_t shape = script.byte();
    std::string unit = script.rest();
    std::size_t repeat = 1 + (shape & 0x7F) * (shape & 0x80 ? 512 : 1);
    if (!unit.empty()) repeat = std::min(repeat, LARGEST_FILE / unit.size() + 1);
    std::string content;
    content.reserve(unit.size() * repeat);
    for (std::size_t i = 0; i < repeat; ++i) content += unit;
    scratch.write("inethosts.dat", content);

    FileSystem files(scratch.data());
    LineReader reader(files.nativePath("inethosts.dat"));
    if (!reader.isOpen()) return "the file did not open";
    std::vector<ModelLine> expected = modelLines(content);
    std::size_t index = 0;
    TextLine line;
    std::size_t start = 0;  // offset of the expected line in the content
    while (reader.next(line)) {
        if (index >= expected.size()) return "more lines than the file has";
        std::size_t end = content.find('\n', start);
        std::size_t length = (end == std::string::npos ? content.size() : end) - start;
        bool cut = length > LineReader::KEEP_LIMIT;
        std::string text =
            cut ? content.substr(start, LineReader::KEEP_LIMIT) : expected[index].text;
        std::string where = "line " + std::to_string(index) + ": ";
        if (line.cut != cut) return where + "cut flag wrong";
        if (line.ended != expected[index].ended) return where + "line-end flag wrong";
        if (line.text != text) return where + "text wrong";
        // A host is the first 511 characters of its line, whatever its length.
        std::string host = content.substr(start, std::min(length, HOST_LINE_LIMIT));
        if (length <= HOST_LINE_LIMIT) host = expected[index].text;
        if (line.text.substr(0, HOST_LINE_LIMIT) != host) return where + "host value wrong";
        start = end == std::string::npos ? content.size() : end + 1;
        ++index;
    }
    if (reader.failed()) return "a read failed";
    if (index != expected.size())
        return std::to_string(index) + " lines read of " + std::to_string(expected.size());
    return scratch.strayEntries();
}

}  // namespace vextora::fuzz
