#include "accounts/account_store.h"

#include "platform/file_system.h"
#include "server/payload_reader.h"
#include "server/protocol.h"

namespace vextora {

namespace {

// Reads users.dat record by record. A record is returned only when both of
// its lines were read; `complete` tells whether the password line was ended.
class RecordReader {
public:
    explicit RecordReader(const FileSystem& files)
        : reader_(files.nativePath(AccountStore::ACCOUNTS_FILE)) {}

    bool next(TextLine& name, TextLine& password) {
        if (!reader_.next(name)) return false;
        danglingName_ = true;
        if (!name.ended || !reader_.next(password)) return false;
        danglingName_ = false;
        return true;
    }
    bool endedInsideRecord() const { return danglingName_; }

private:
    LineReader reader_;
    bool danglingName_ = false;
};

std::string upper(std::string_view text) {
    std::string copy(text);
    uppercaseInPlace(copy);
    return copy;
}

// Stored lines compare as the C strings they are read into: up to a NUL.
std::string storedName(const TextLine& line) {
    return upper(untilNul(line.text));
}

}  // namespace

LoginCheck AccountStore::checkAccount(std::string_view upperName, std::string_view password) const {
    RecordReader records(files_);
    TextLine name, stored;
    while (records.next(name, stored)) {
        if (!stored.ended) break;  // a record counts only once its password line ends
        if (storedName(name) != upperName) continue;
        return untilNul(stored.text) == password ? LoginCheck::Ok : LoginCheck::WrongPassword;
    }
    return LoginCheck::NoSuchAccount;
}

std::optional<std::string> AccountStore::adminPassword() const {
    LineReader reader(files_.nativePath(ADMIN_PASSWORD_FILE));
    // Only a file that is not there at all means the empty password. A FIFO
    // or a folder put in its place, or one we may not read, must not open the
    // administrator account to anyone.
    if (!reader.isOpen()) {
        if (reader.missing()) return std::string();
        return std::nullopt;
    }
    TextLine first;
    if (!reader.next(first)) {
        if (reader.failed()) return std::nullopt;
        return std::string();
    }
    std::string password = untilNul(first.text);
    if (password.size() > MAX_TEXT) password.resize(MAX_TEXT);
    return password;
}

bool AccountStore::nameTaken(std::string_view upperName) const {
    return scan(upperName).taken;
}

AccountStore::Scan AccountStore::scan(std::string_view upperName) const {
    RecordReader records(files_);
    TextLine name, stored;
    Scan result;
    while (records.next(name, stored)) {
        if (storedName(name) == upperName) result.taken = true;
    }
    result.endsInsideRecord = records.endedInsideRecord();
    // A last name without its password line still names an account.
    if (result.endsInsideRecord && storedName(name) == upperName) result.taken = true;
    return result;
}

bool AccountStore::reserved(std::string_view upperName) {
    return upperName == "ADMIN" || upperName == "GUEST" || upperName == "SERVERSHARE";
}

bool AccountStore::readsAsDottedAddress(std::string_view name) {
    int groups = 0;
    std::size_t at = 0;
    for (;;) {
        std::size_t digits = 0;
        unsigned value = 0;
        while (at < name.size() && name[at] >= '0' && name[at] <= '9' && digits < 4) {
            value = value * 10 + static_cast<unsigned>(name[at] - '0');
            ++at;
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255) return false;
        if (++groups == 4) return at == name.size();
        if (at == name.size() || name[at] != '.') return false;
        ++at;
    }
}

std::string_view AccountStore::refusal(std::string_view upperName, std::string_view password) {
    // An empty name's folder would be Users itself, which holds every account.
    if (upperName.empty() || upperName == "." || upperName == "..") return "bad_name";
    if (upperName.size() > MAX_ACCOUNT_NAME) return "too_long";
    if (upperName.find_first_of("\\/") != std::string_view::npos) return "bad_name";
    // Control bytes (line ends and NUL among them) would break the record or
    // hide in a listing; blanks at either end make look-alikes of ADMIN or
    // SERVERSHARE in the catalog and in the administrator's list.
    for (char c : upperName) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) return "control_character";
    }
    if (upperName.front() == ' ' || upperName.back() == ' ') return "outer_blank";
    // Guests and logged-out sessions own Users\<their address>: an account of
    // that name would hand its files to anyone who connects from there.
    if (readsAsDottedAddress(upperName)) return "address_name";
    if (password.find_first_of("\r\n") != std::string_view::npos) return "bad_password";
    if (reserved(upperName)) return "reserved";
    return {};
}

CreateOutcome AccountStore::create(std::string_view name, std::string_view password,
                                   std::string_view* refusedFor) const {
    std::string upperName = upper(name);
    auto refuse = [refusedFor](std::string_view why) {
        if (refusedFor != nullptr) *refusedFor = why;
        return CreateOutcome::Refused;
    };
    if (std::string_view why = refusal(upperName, password); !why.empty()) return refuse(why);
    Scan existing = scan(upperName);
    if (existing.taken) return refuse("taken");
    // A record cut after its name line: appending now would pair the new
    // name with that account as its password. Refuse until it is mended.
    if (existing.endsInsideRecord) return CreateOutcome::WriteFailed;

    std::string folder = "Users\\" + upperName;
    files_.makeDirectory("Users");
    bool folderMade = files_.makeDirectory(folder);
    std::string record = upperName + "\r\n" + std::string(password) + "\r\n";
    if (!files_.appendRecord(ACCOUNTS_FILE, record, true, 0600)) {
        // No account: no folder made for it either. One that was there
        // before (the operator's) stays.
        if (folderMade) files_.removeEmptyDirectory(folder);
        return CreateOutcome::WriteFailed;
    }
    return CreateOutcome::Created;
}

bool AccountStore::setAdminPassword(std::string_view password) const {
    return files_.replaceContent(ADMIN_PASSWORD_FILE, ADMIN_TEMP, password, 0600);
}

}  // namespace vextora
