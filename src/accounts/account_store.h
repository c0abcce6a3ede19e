// AccountStore: the account file `users.dat` and the administrator password
// file `adminpass.cfg`, read afresh on every call (nothing is cached).
//
// users.dat holds records of two lines, the upper-case account name and then
// the password exactly as sent, each ended by CR LF. A reader accepts CR LF
// and bare LF. A record counts only when its password line is ended. Lines are
// compared whole, so a hand-edited line of more than 255 characters matches
// no name or password and never shifts the records after it.
//
// adminpass.cfg holds the administrator password alone, usually with no line
// end; only its first line counts, at most 255 characters. A missing or empty
// file means the empty password. Anything else at that name that cannot be
// read as a regular file (a FIFO, a folder, a file this process may not read)
// means no password at all: the administrator account stays shut rather than
// fall open.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vextora {

class FileSystem;

enum class LoginCheck { Ok, NoSuchAccount, WrongPassword };

enum class CreateOutcome {
    Created,
    Refused,      // reserved, taken, or a name or password the files cannot hold
    WriteFailed,  // the record could not be stored
};

class AccountStore {
public:
    static constexpr std::string_view ACCOUNTS_FILE = "users.dat";
    static constexpr std::string_view ADMIN_PASSWORD_FILE = "adminpass.cfg";
    static constexpr std::string_view ADMIN_TEMP = ".vxtpart-adminpass";

    // files must outlive the store.
    explicit AccountStore(const FileSystem& files) : files_(files) {}

    // The first record whose name, upper-cased, equals upperName decides.
    LoginCheck checkAccount(std::string_view upperName, std::string_view password) const;
    // The administrator password; nullopt when adminpass.cfg exists but
    // cannot be read as a regular file, so that no password matches.
    std::optional<std::string> adminPassword() const;
    // Whether a record already has this name, upper-casing stored names as
    // login does and counting a last record whose password line is torn.
    bool nameTaken(std::string_view upperName) const;
    // The names account creation refuses: empty, ".", "..", separators,
    // control bytes (below 0x20, and 0x7F), leading or trailing blanks,
    // longer than 253 bytes, four dot-separated numbers of 0 to 255 (the form
    // of a dotted address), the reserved names; and passwords with a line end.
    // Records already stored under such names still log in.
    static bool acceptable(std::string_view upperName, std::string_view password) {
        return refusal(upperName, password).empty();
    }
    // Why such a name or password is refused, in the event log's words
    // ("address_name", "reserved", ...); empty when it is acceptable.
    static std::string_view refusal(std::string_view upperName, std::string_view password);
    static bool reserved(std::string_view upperName);
    // "10.0.0.5", "127.000.0.1": four groups of one to three digits, each at
    // most 255, joined by dots.
    static bool readsAsDottedAddress(std::string_view name);

    // Creates the account (name in any case): its folder under Users, then
    // its record, appended in one write and flushed to disk before returning.
    // WriteFailed leaves users.dat as it was, without any part of the record,
    // and removes the folder again if this call made it.
    // A refusal says why in *refusedFor (one of refusal()'s words, or "taken").
    CreateOutcome create(std::string_view name, std::string_view password,
                         std::string_view* refusedFor = nullptr) const;
    // Replaces adminpass.cfg with exactly `password`, atomically, mode 0600.
    bool setAdminPassword(std::string_view password) const;

private:
    struct Scan {
        bool taken = false;
        // The file ends after a name line with no password line, which an
        // append would turn into a wrong pairing of every later line.
        bool endsInsideRecord = false;
    };
    Scan scan(std::string_view upperName) const;

    const FileSystem& files_;
};

}  // namespace vextora
