#include "server/client_session.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "accounts/account_requests.h"
#include "accounts/admin_requests.h"
#include "accounts/login_throttle.h"
#include "net/poller.h"
#include "platform/event_log.h"
#include "platform/tick_clock.h"
#include "server/client_list.h"
#include "server/list_items.h"
#include "server/payload_reader.h"
#include "server/protocol.h"
#include "server/server_context.h"
#include "sharing/catalog.h"
#include "sharing/catalog_requests.h"
#include "sharing/transfer_engine.h"
#include "sharing/transfer_requests.h"

namespace vextora {

namespace {

// How much of a listing is queued at a time: whatever the catalog, a client
// that never reads holds no more of it than this (and one entry), and one
// pass sends no more of it than this to a client that reads it all at once.
constexpr std::size_t LISTING_CHUNK = 64 * 1024;
constexpr std::size_t LONGEST_LIST_ITEM = 2 + MAX_TEXT;
// A frame buffer grows in steps of this, so a frame sent a byte at a time
// costs a copy per step rather than per byte.
constexpr std::size_t FRAME_GROWTH = 1024;

// ---- The requests a session handles itself ----

void logout(ClientSession& session, PayloadReader&) {
    session.loginState = 1;
    session.userName = session.peerDottedAddress();
    session.isAdmin = false;
    session.isGuest = false;
}

void kickUser(ClientSession& session, PayloadReader& payload) {
    auto name = payload.text();
    if (!name) return session.reply(REPLY_FAILED);
    std::string target = untilNul(*name);
    // A session never kicks itself, so a poll never destroys its own session.
    if (target == session.userName) return session.reply(REPLY_CANNOT_KICK_SELF);
    bool kicked = session.server().clients.kickUserByName(target);
    logEvent("kick", {{"by", session.userName},
                      {"address", session.acceptedAddress()},
                      {"session", session.acceptOrder},
                      {"user", target},
                      {"result", kicked ? "ok" : "not_connected"}});
    session.reply(kicked ? REPLY_OK : REPLY_FAILED);
}

void stopServer(ClientSession& session, PayloadReader&) {
    // No reply: the shutdown sends REPLY_CLOSING to everyone, the requester too.
    logEvent("stop", {{"reason", "administrator"},
                      {"by", session.userName},
                      {"address", session.acceptedAddress()},
                      {"session", session.acceptOrder},
                      {"clients", session.server().clients.size()}});
    session.server().stopRequested = true;
}

// ---- Dispatch table ----

enum class Gate { None, LoggedOut, LoggedIn, LoggedInNotGuest, Admin };

using Handler = void (*)(ClientSession&, PayloadReader&);

struct Route {
    Gate gate;
    std::uint8_t refusal;
    Handler handler;
};

constexpr Route ROUTES[16] = {
    {Gate::None, 0, nullptr},                             // 0: not a request
    {Gate::LoggedOut, REPLY_FAILED, login},               // REQ_LOGIN
    {Gate::None, 0, createAccount},                       // REQ_CREATE_ACCOUNT
    {Gate::LoggedIn, REPLY_FAILED, startDownload},        // REQ_DOWNLOAD
    {Gate::LoggedInNotGuest, REPLY_FAILED, startUpload},  // REQ_UPLOAD
    {Gate::None, 0, renameOwnFile},                       // REQ_RENAME_FILE
    {Gate::None, 0, deleteOwnFile},                       // REQ_DELETE_FILE
    {Gate::None, 0, fileInfo},                            // REQ_FILE_INFO
    {Gate::None, 0, setShared},                           // REQ_SET_SHARED
    {Gate::None, 0, listFiles},                           // REQ_LIST_FILES
    {Gate::None, 0, logout},                              // REQ_LOGOUT
    {Gate::None, 0, nullptr},                             // REQ_QUIT, handled by poll
    {Gate::Admin, REPLY_ADMIN_ONLY, listUsers},           // REQ_LIST_USERS
    {Gate::Admin, REPLY_ADMIN_ONLY, sendUserInfo},        // REQ_USER_INFO
    {Gate::Admin, REPLY_ADMIN_ONLY, kickUser},            // REQ_KICK_USER
    {Gate::Admin, REPLY_ADMIN_ONLY, stopServer},          // REQ_STOP_SERVER
};

// The requests' names in the debug log, by code.
constexpr const char* REQUEST_NAMES[std::size(ROUTES)] = {
    "none",       "login", "create_account", "download", "upload",     "rename", "delete", "info",
    "set_shared", "list",  "logout",         "quit",     "list_users", "whois",  "kick",   "stop",
};

bool gatePasses(Gate gate, const ClientSession& session) {
    switch (gate) {
        case Gate::None:
            return true;
        case Gate::LoggedOut:
            return session.loginState == 1;
        case Gate::LoggedIn:
            return session.loginState == 2;
        case Gate::LoggedInNotGuest:
            return session.loginState == 2 && !session.isGuest;
        case Gate::Admin:
            return session.isAdmin;
    }
    return false;
}

}  // namespace

ClientSession::ClientSession(const TcpSocket& accepted, ServerContext& server)
    : acceptOrder(server.nextSession++),
      control(accepted),
      connectTick(server.clock.now()),
      server_(server) {
    peerAddress = control.peerAddress().value_or(0);
    userName = peerDottedAddress();
    // When a request began is what tells whose a transfer connection is.
    control.enableReceiveStamps();
    watchControl(READY_READ);
    server_.transfers.sessionOpened(acceptOrder, peerAddress);
    logDebug("connect", {{"address", userName}, {"session", acceptOrder}});
}

ClientSession::~ClientSession() {
    if (endedFor_ != nullptr) {
        logEvent("session_ended", {{"user", userName},
                                   {"address", acceptedAddress()},
                                   {"session", acceptOrder},
                                   {"reason", endedFor_}});
    }
    if (logsDebug()) {
        logDebug("disconnect",
                 {{"user", userName}, {"address", acceptedAddress()}, {"session", acceptOrder}});
    }
    releaseFrameBytes();
    if (heldReply_) server_.logins.forget(peerAddress, acceptOrder);
    server_.transfers.sessionClosed(acceptOrder);
    server_.poller.unwatch(control.nativeHandle());
    // Unread input would turn the close into a reset, which can destroy
    // replies still on their way to the client.
    if (control.holdsCount()) control.discardInput();
    control.release();
}

bool ClientSession::poll() {
    if (replying()) {
        if ((controlReady & (READY_WRITE | READY_HANGUP)) && !flushOutput()) return false;
        // A reply the client does not take ends the session: it cannot hold the loop.
        if (replying() && elapsedMs(lastOutputProgress_, server_.clock.now()) >= REPLY_STALL_MS)
            return endFor("reply_stalled");
    }

    bool keep;
    if (inTransfer()) {
        keep = pollTransfer();
        // A transfer's closing answer goes out at once, as a request's does.
        if (keep && !inTransfer() && !output_.empty()) keep = flushOutput();
    } else if (replying()) {
        keep = true;  // read nothing more until the client has taken its replies
    } else if (heldReply_) {
        // Nothing is read while a refusal is held, or a guesser would only
        // queue its next guesses; a client that closed is gone, and its
        // refusal with it.
        if (controlReady & READY_HANGUP) return false;
        controlReady = 0;
        keep = true;
    } else if (state == SessionState::MessageReady) {
        state = SessionState::ReadingHeader;
        server_.activity = true;
        if (requestBody_[0] == REQ_QUIT) return false;
        dispatch();
        std::vector<std::uint8_t>().swap(requestBody_);
        releaseFrameBytes();
        keep = flushOutput();
    } else {
        keep = readRequest();
        // A client that begins a frame and stops cannot keep its buffer for ever.
        if (keep && frameStalled(server_.clock.now())) keep = endFor("frame_stalled");
    }
    if (keep) {
        std::uint32_t interest = READY_READ;
        bool transferring = inTransfer();
        if (transferring && server_.transfers.awaiting(acceptOrder)) interest = 0;  // hang-ups only
        if (heldReply_) interest = 0;
        if (replying()) interest = transferring ? interest | READY_WRITE : READY_WRITE;
        watchControl(interest);
    }
    return keep;
}

bool ClientSession::needsPolling() const {
    return inTransfer() || state == SessionState::MessageReady || replying() ||
           (controlReady & (READY_READ | READY_HANGUP)) != 0;
}

bool ClientSession::frameStalled(std::uint32_t now) const {
    return frameUnfinished() && elapsedMs(lastInputProgress_, now) >= FRAME_STALL_MS;
}

bool ClientSession::pollTransfer() {
    TransferEngine& transfers = server_.transfers;
    ControlEvent event = ControlEvent::None;
    if (transfers.awaiting(acceptOrder)) {
        // Nothing is read from the control connection while the transfer
        // connection is awaited, but a client that closed it is gone.
        if (controlReady & READY_HANGUP) event = ControlEvent::Lost;
        controlReady = 0;
    } else if (controlReady & (READY_READ | READY_HANGUP)) {
        controlReady = 0;
        std::uint8_t value = 0;
        IoResult got = control.receiveSome(&value, 1);
        if (got.closed() || (got.error != 0 && !got.wouldBlock())) {
            event = ControlEvent::Lost;
        } else if (got.bytes == 1) {
            event = value == CANCEL_TRANSFER ? ControlEvent::Cancel : ControlEvent::OtherByte;
            server_.activity = true;
        }
    }
    bool download = state == SessionState::SendingFile;
    TransferStep step = transfers.step(acceptOrder, event);
    if (step.moved > 0) {
        rate.add(step.moved);
        server_.activity = true;
    }
    if (step.outcome != TransferStep::Outcome::Running) {
        state = SessionState::ReadingHeader;
        server_.activity = true;
        if (step.outcome == TransferStep::Outcome::SessionEnds) return false;
        // A transfer that ran to its end ends the rate window (a download's
        // next step starts a new one at once, an upload's next transfer
        // does); a cancelled one leaves it to run on.
        if (step.completed) {
            resetRate();
            downloadCompleted = download;
        }
        if (step.reply) reply(*step.reply);
    }
    if (step.updateRate) updateRate();
    return true;
}

void ClientSession::onReady() {
    server_.clients.markDue(*this);
}

bool ClientSession::readRequest() {
    if (!(controlReady & (READY_READ | READY_HANGUP))) return true;
    // Level-triggered: the poller reports the connection again while bytes remain.
    controlReady = 0;
    IoResult got;
    // Payload bytes land here first: the request buffer grows with what has
    // arrived, never ahead of it, so a header alone costs the server nothing.
    std::uint8_t piece[16384];
    // The kernel's stamp of a request's first byte: when the request began.
    Stamp arrived = 0;
    bool first = state == SessionState::ReadingHeader && headerBytesRead_ == 0;
    if (state == SessionState::ReadingBody) {
        // A zero-length frame never forms a request: the client's next byte,
        // or its close, ends the session.
        if (bodyLength_ == 0) return false;
        got = control.receiveSome(
            piece, std::min<std::size_t>(sizeof piece, bodyLength_ - bodyBytesRead_));
    } else if (first) {
        got = control.receiveStamped(headerBuffer_, 4, &arrived);
    } else {
        got = control.receiveSome(headerBuffer_ + headerBytesRead_, 4 - headerBytesRead_);
    }
    if (got.closed()) return false;
    if (got.error != 0) return got.wouldBlock();
    server_.activity = true;
    lastInputProgress_ = server_.clock.now();
    if (downloadCompleted && state == SessionState::ReadingHeader) {
        downloadCompleted = false;
        // A client may cancel a download at any time, and cannot know that
        // the last piece has already gone out. Its cancel then arrives where
        // a header begins, where it cannot be one (no frame is that long),
        // and is dropped rather than ending the session.
        if (headerBytesRead_ == 0 && headerBuffer_[0] == CANCEL_TRANSFER) {
            std::memmove(headerBuffer_, headerBuffer_ + 1, got.bytes - 1);
            if (--got.bytes == 0) return true;
        }
    }
    if (first) {
        // Whatever the client connected for its previous request was made
        // before this one began.
        server_.transfers.requestBegun(acceptOrder, arrived != 0 ? arrived : wallClockNanos());
    }

    if (state == SessionState::ReadingBody) {
        std::size_t needed = requestBody_.size() + got.bytes;
        if (needed > requestBody_.capacity()) {
            std::size_t room = (needed + FRAME_GROWTH - 1) / FRAME_GROWTH * FRAME_GROWTH;
            room = std::min<std::size_t>(bodyLength_, room);
            // Many clients each sending most of a large frame could otherwise
            // hold any amount between them.
            if (!holdFrameBytes(room)) return endFor("frame_memory");
            requestBody_.reserve(room);
        }
        requestBody_.insert(requestBody_.end(), piece, piece + got.bytes);
        bodyBytesRead_ += static_cast<std::uint32_t>(got.bytes);
        if (bodyBytesRead_ == bodyLength_) state = SessionState::MessageReady;
        return true;
    }
    headerBytesRead_ += static_cast<std::uint32_t>(got.bytes);
    if (headerBytesRead_ < 4) return true;
    headerBytesRead_ = 0;
    bodyLength_ = (std::uint32_t{headerBuffer_[0]} << 24) |
                  (std::uint32_t{headerBuffer_[1]} << 16) | (std::uint32_t{headerBuffer_[2]} << 8) |
                  std::uint32_t{headerBuffer_[3]};
    // No real request comes near this; a larger header is hostile or broken,
    // and ends the session before anything is allocated.
    if (bodyLength_ > MAX_FRAME_PAYLOAD) return endFor("frame_too_large");
    requestBody_.clear();
    bodyBytesRead_ = 0;
    state = SessionState::ReadingBody;
    // A client sends the payload with its header, so it is most likely
    // waiting already: the next pass reads it without asking the poller
    // first (a payload still on its way costs that pass one empty receive).
    // An empty frame waits for what the client does next.
    if (bodyLength_ > 0) controlReady |= READY_READ;
    return true;
}

void ClientSession::dispatch() {
    std::uint8_t code = requestBody_[0];
    if (code == 0 || code >= std::size(ROUTES)) {
        server_.transfers.requestAnswered(acceptOrder, false);
        return;  // unknown codes are dropped
    }
    const Route& route = ROUTES[code];
    bool admitted = gatePasses(route.gate, *this);
    if (logsDebug()) {
        logDebug("request", {{"user", userName},
                             {"session", acceptOrder},
                             {"request", REQUEST_NAMES[code]},
                             {"admitted", admitted ? "yes" : "no"}});
    }
    if (!admitted) {
        reply(route.refusal);
    } else if (route.handler != nullptr) {
        PayloadReader payload(std::span<const std::uint8_t>(requestBody_).subspan(1));
        route.handler(*this, payload);
    }
    // A client connects its transfer connection right after the request; if
    // the request was refused, that connection belongs to nothing.
    if (!inTransfer())
        server_.transfers.requestAnswered(acceptOrder, code == REQ_UPLOAD || code == REQ_DOWNLOAD);
}

void ClientSession::kick() {
    listing_.reset();
    reply(REPLY_CLOSING);
    control.sendSome(output_.data() + outputSent_, output_.size() - outputSent_);
    output_.clear();
    outputSent_ = 0;
    // FIN after the byte, and nothing unread left to turn the close into a reset.
    control.shutdownWrite();
    control.discardInput();
    server_.poller.unwatch(control.nativeHandle());
    control.release();
}

void ClientSession::reply(std::uint8_t code) {
    if (output_.empty()) lastOutputProgress_ = server_.clock.now();
    output_.push_back(static_cast<char>(code));
}

void ClientSession::holdReply(std::uint8_t code) {
    heldReply_ = code;
}

void ClientSession::releaseHeldReply() {
    if (!heldReply_) return;
    reply(*heldReply_);
    heldReply_.reset();
    // Sent on the next poll without asking the poller first, as a reply
    // right after its request is.
    controlReady |= READY_WRITE;
}

void ClientSession::replyInt32(std::uint32_t value) {
    if (output_.empty()) lastOutputProgress_ = server_.clock.now();
    for (int shift = 24; shift >= 0; shift -= 8)
        output_.push_back(static_cast<char>(value >> shift));
}

void ClientSession::replyText(std::string_view text) {
    if (text.size() > MAX_TEXT) text = text.substr(0, MAX_TEXT);
    reply(static_cast<std::uint8_t>(text.size()));
    output_.append(text);
}

void ClientSession::replyListing(std::unique_ptr<ListItems> items) {
    if (output_.empty()) lastOutputProgress_ = server_.clock.now();
    listing_ = std::move(items);
}

void ClientSession::produceListing() {
    if (output_.capacity() < LISTING_CHUNK + LONGEST_LIST_ITEM)
        output_.reserve(LISTING_CHUNK + LONGEST_LIST_ITEM);
    std::string text;
    while (output_.size() < LISTING_CHUNK) {
        if (!listing_->next(text)) {
            listing_.reset();
            return reply(REPLY_LIST_END);
        }
        replyListItem(text);
    }
}

bool ClientSession::flushOutput() {
    // The next chunk of a listing is made once the client has taken the
    // last, at most one per call: a client that reads a long listing as fast
    // as it comes still takes its turn with the others.
    bool produced = false;
    for (;;) {
        if (output_.empty() && listing_ && !produced) {
            produceListing();
            produced = true;
        }
        if (output_.empty()) break;
        controlReady &= ~READY_WRITE;
        IoResult sent =
            control.sendSome(output_.data() + outputSent_, output_.size() - outputSent_);
        if (sent.error != 0 && !sent.wouldBlock()) return false;
        if (sent.bytes > 0) {
            outputSent_ += sent.bytes;
            lastOutputProgress_ = server_.clock.now();
            server_.activity = true;
        }
        if (outputSent_ < output_.size()) return true;  // the rest when the client takes more
        output_.clear();
        outputSent_ = 0;
        if (!listing_) break;
        if (produced) {
            // The connection took it all and may take more: the next pass
            // goes on without waiting to be told.
            controlReady |= READY_WRITE;
            return true;
        }
    }
    // An idle session keeps little: give back what a long listing took.
    if (output_.capacity() > 4096) std::string().swap(output_);
    return true;
}

bool ClientSession::holdFrameBytes(std::size_t capacity) {
    std::size_t charge = capacity > FRAME_FREE_BYTES ? capacity - FRAME_FREE_BYTES : 0;
    std::size_t others = server_.heldFrameBytes - frameCharge_;
    if (charge > frameCharge_ && others + charge > MAX_HELD_FRAME_BYTES) return false;
    server_.heldFrameBytes = others + charge;
    frameCharge_ = charge;
    return true;
}

void ClientSession::releaseFrameBytes() {
    server_.heldFrameBytes -= frameCharge_;
    frameCharge_ = 0;
}

void ClientSession::watchControl(std::uint32_t interest) {
    if (interest == controlInterest_) return;
    controlInterest_ = interest;
    server_.poller.watch(control.nativeHandle(), interest, &controlReady, this);
}

void ClientSession::updateRate() {
    rate.update(server_.clock.now());
}

std::string ClientSession::peerDottedAddress() const {
    auto address = control.peerAddress();
    return TcpSocket::dottedAddress(address ? *address : 0);
}

std::string ClientSession::ownFolder() const {
    if (homeRoot.empty()) return {};
    return homeRoot + userName;
}

UserInfoSnapshot ClientSession::snapshot() const {
    UserInfoSnapshot info;
    info.connectedMs = elapsedMs(connectTick, server_.clock.now());
    if (state == SessionState::ReceivingFile) info.direction = DIRECTION_TO_SERVER;
    if (state == SessionState::SendingFile) info.direction = DIRECTION_TO_CLIENT;
    if (auto progress = server_.transfers.progress(acceptOrder)) {
        info.transferSize = progress->size;
        info.transferDone = progress->done;
    }
    info.rateKBps = rate.kilobytesPerSecond();
    info.peerAddress = peerDottedAddress();
    info.sharedFileCount = Catalog(server_.files).countOwnedBy(userName);
    return info;
}

}  // namespace vextora
