#include "client/password_source.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "client/exit_codes.h"
#include "platform/terminal.h"

namespace vextora::client {

namespace {

Secret failure(int code, std::string error) {
    return {std::nullopt, code, std::move(error)};
}

Secret fromPrompt(const std::string& prompt) {
    std::string typed;
    switch (readSecret(prompt, typed)) {
        case SecretResult::Read:
            return {typed, 0, {}};
        case SecretResult::Interrupted:
            return failure(EXIT_INTERRUPTED, "interrupted");
        case SecretResult::NoTerminal:
            return failure(EXIT_USAGE,
                           "a password is needed and there is no terminal to ask on; use "
                           "--password-file FILE or the environment variable VEXTORA_PASSWORD");
        case SecretResult::Failed:
            break;
    }
    return failure(EXIT_USAGE, "cannot read the password from the terminal");
}

}  // namespace

std::string firstLine(std::string_view content) {
    auto end = content.find('\n');
    std::string_view line = content.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return std::string(line);
}

PasswordSource::PasswordSource(std::string file, std::optional<std::string> environment)
    : file_(std::move(file)), environment_(std::move(environment)) {}

Secret PasswordSource::fixed() const {
    if (file_.empty()) return {*environment_, 0, {}};
    std::ifstream in(file_, std::ios::binary);
    if (!in) {
        return failure(EXIT_USAGE,
                       "cannot read the password file " + file_ + ": " + std::strerror(errno));
    }
    std::ostringstream content;
    content << in.rdbuf();
    return {firstLine(content.str()), 0, {}};
}

Secret PasswordSource::forLogin(std::string_view name) const {
    if (hasFixed()) return fixed();
    return fromPrompt("Password for " + std::string(name) + ": ");
}

Secret PasswordSource::forNewAccount(std::string_view name) const {
    if (hasFixed()) return fixed();
    Secret first = fromPrompt("Password for the new account " + std::string(name) + ": ");
    if (!first.password) return first;
    Secret again = fromPrompt("Repeat the password: ");
    if (!again.password) return again;
    if (*again.password != *first.password)
        return failure(EXIT_USAGE, "the two passwords differ; nothing was registered");
    return first;
}

}  // namespace vextora::client
