#include "accounts/account_requests.h"

#include <iterator>
#include <optional>
#include <span>
#include <string>

#include "accounts/account_store.h"
#include "accounts/login_throttle.h"
#include "platform/event_log.h"
#include "platform/file_system.h"
#include "platform/tick_clock.h"
#include "server/client_session.h"
#include "server/payload_reader.h"
#include "server/protocol.h"
#include "server/server_context.h"

namespace vextora {

namespace {

constexpr std::string_view USERS_ROOT = "Users\\";

// The path of a name in the caller's own folder, or empty when the caller
// has no own folder (not logged in) or the name would leave it.
std::string ownPath(const ClientSession& session, const std::string& name) {
    if (session.loginState != 2 || FileSystem::hasParentComponent(name) ||
        FileSystem::namesUploadTemporary(name))
        return {};
    return session.ownFolder() + "\\" + name;
}

// A failed login is answered at once, unless its address keeps failing: then
// the throttle spaces its refusals, and the session holds this one until its
// turn. The loop goes on serving everyone else meanwhile.
void refuseLogin(ClientSession& session, std::uint8_t code) {
    ServerContext& server = session.server();
    if (server.logins.failed(session.peerAddress, session.acceptOrder, server.clock.now()))
        return session.reply(code);
    session.holdReply(code);
}

std::string upperCased(std::string_view text) {
    std::string upper(text);
    uppercaseInPlace(upper);
    return upper;
}

// Logs how a login ended, whichever way the handler returns: the session's
// state and the answer queued meanwhile tell. Never the password.
class LoginRecord {
public:
    LoginRecord(const ClientSession& session, const std::string& name)
        : session_(session), name_(name), queuedBefore_(session.queuedReplyBytes()) {}
    ~LoginRecord() {
        // Values are viewed, not copied: the address must outlive the fields.
        std::string address = session_.acceptedAddress();
        LogField fields[] = {{"user", name_},
                             {"address", address},
                             {"session", session_.acceptOrder},
                             {"result", result()},
                             {"delayed", "yes"}};
        // A refusal the throttle holds back says so: its address has failed
        // too often of late.
        std::size_t count = session_.holdsReply() ? std::size(fields) : std::size(fields) - 1;
        logEvent("login", std::span<const LogField>(fields, count));
    }
    LoginRecord(const LoginRecord&) = delete;
    LoginRecord& operator=(const LoginRecord&) = delete;

private:
    const char* result() const {
        if (session_.loginState == 2) return "ok";
        // A refusal the throttle holds back is still this login's answer.
        std::optional<std::uint8_t> answer = session_.heldReplyCode();
        if (!answer) answer = session_.queuedReplyByte(queuedBefore_);
        if (answer == REPLY_BAD_PASSWORD) return "wrong_password";
        if (answer == REPLY_BAD_NAME) return "unknown_user";
        return "refused";
    }

    const ClientSession& session_;
    const std::string& name_;
    std::size_t queuedBefore_;
};

}  // namespace

void login(ClientSession& session, PayloadReader& payload) {
    auto nameField = payload.text();
    auto passwordField = payload.text();
    if (!nameField || !passwordField) return session.reply(REPLY_FAILED);
    std::string name = untilNul(*nameField);
    std::string password = untilNul(*passwordField);
    uppercaseInPlace(name);
    LoginRecord record(session, name);

    AccountStore accounts(session.server().files);
    if (name == "ADMIN") {
        // An unreadable password file matches no password, the empty one included.
        std::optional<std::string> expected = accounts.adminPassword();
        if (!expected || *expected != password) return refuseLogin(session, REPLY_BAD_PASSWORD);
        session.isAdmin = true;
        session.userName = name;
    } else if (name == "GUEST") {
        session.isGuest = true;  // the guest keeps its dotted address as its name
    } else {
        switch (accounts.checkAccount(name, password)) {
            case LoginCheck::NoSuchAccount:
                return refuseLogin(session, REPLY_BAD_NAME);
            case LoginCheck::WrongPassword:
                return refuseLogin(session, REPLY_BAD_PASSWORD);
            case LoginCheck::Ok:
                break;
        }
        session.userName = name;
    }
    session.loginState = 2;
    session.homeRoot = std::string(USERS_ROOT);
    session.reply(REPLY_OK);
}

void createAccount(ClientSession& session, PayloadReader& payload) {
    auto nameField = payload.text();
    auto passwordField = payload.text();
    if (!nameField || !passwordField) return session.reply(REPLY_FAILED);
    // A NUL inside the name is refused with the other bytes a name cannot
    // hold; one inside the password ends it, as for login.
    std::string password = untilNul(*passwordField);
    std::string_view refusedFor;
    switch (AccountStore(session.server().files).create(*nameField, password, &refusedFor)) {
        case CreateOutcome::Created:
            logEvent("account_created", {{"user", upperCased(*nameField)},
                                         {"address", session.acceptedAddress()},
                                         {"session", session.acceptOrder}});
            return session.reply(REPLY_OK);
        case CreateOutcome::Refused:
            logEvent("account_refused", {{"user", upperCased(*nameField)},
                                         {"address", session.acceptedAddress()},
                                         {"session", session.acceptOrder},
                                         {"reason", refusedFor}});
            return session.reply(REPLY_BAD_NAME);
        case CreateOutcome::WriteFailed:
            return session.reply(REPLY_FAILED);
    }
}

void renameOwnFile(ClientSession& session, PayloadReader& payload) {
    auto from = payload.text();
    auto to = payload.text();
    if (!from || !to) return session.reply(REPLY_FAILED);
    std::string fromPath = ownPath(session, untilNul(*from));
    std::string toPath = ownPath(session, untilNul(*to));
    bool renamed = !fromPath.empty() && !toPath.empty() &&
                   session.server().files.renameNoReplace(fromPath, toPath);
    session.reply(renamed ? REPLY_OK : REPLY_FAILED);
}

void deleteOwnFile(ClientSession& session, PayloadReader& payload) {
    auto name = payload.text();
    if (!name) return session.reply(REPLY_FAILED);
    std::string path = ownPath(session, untilNul(*name));
    // Unlinking needs only the folder's permission: a file its owner may not
    // write is kept, as a read-only file is.
    const FileSystem& files = session.server().files;
    bool deleted = !path.empty() && !files.isReadOnlyFile(path) && files.removeFile(path);
    session.reply(deleted ? REPLY_OK : REPLY_FAILED);
}

}  // namespace vextora
