// PasswordSource: where the program's passwords come from, in this order:
// the first line of the file given with --password-file, the environment
// variable VEXTORA_PASSWORD (set, even to nothing), a prompt on the terminal
// without echo. Never from an argument, where the process list and the
// shell's history would keep it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vextora::client {

struct Secret {
    std::optional<std::string> password;
    int failureCode = 0;  // the exit code when there is no password
    std::string error;
};

class PasswordSource {
public:
    PasswordSource(std::string file, std::optional<std::string> environment);

    // The password of the account `name`.
    Secret forLogin(std::string_view name) const;
    // The password of a new account; a prompt asks twice.
    Secret forNewAccount(std::string_view name) const;

private:
    Secret fixed() const;
    bool hasFixed() const { return !file_.empty() || environment_.has_value(); }

    std::string file_;
    std::optional<std::string> environment_;
};

// The password in a password file's content: its first line, without the
// line end (LF or CR LF).
std::string firstLine(std::string_view content);

}  // namespace vextora::client
