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

std::string AccountStore::adminPassword() const {
    LineReader reader(files_.nativePath(ADMIN_PASSWORD_FILE));
    TextLine first;
    if (!reader.next(first)) return {};
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

bool AccountStore::acceptable(std::string_view upperName, std::string_view password) {
    // An empty name's folder would be Users itself, which holds every account.
    if (upperName.empty() || upperName == "." || upperName == "..") return false;
    if (upperName.size() > MAX_ACCOUNT_NAME) return false;
    if (upperName.find_first_of(std::string_view("\\/\r\n\0", 5)) != std::string_view::npos)
        return false;
    if (password.find_first_of("\r\n") != std::string_view::npos) return false;
    return !reserved(upperName);
}

CreateOutcome AccountStore::create(std::string_view name, std::string_view password) const {
    std::string upperName = upper(name);
    if (!acceptable(upperName, password)) return CreateOutcome::Refused;
    Scan existing = scan(upperName);
    if (existing.taken) return CreateOutcome::Refused;
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
