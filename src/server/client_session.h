// ClientSession: the server's record of one control connection.
//
// The main loop calls poll() once per pass. poll() receives at most once,
// assembles a request from its frame (4-byte big-endian length, then the
// payload), dispatches it on the pass after its last byte arrived, and while
// a transfer runs hands the pass to the transfer step. A false result asks
// the loop to destroy the session.
//
// Replies are queued and sent without ever blocking. While a reply is still
// queued the session reads no further request, and a reply the client does
// not take for REPLY_STALL_MS ends the session: a client that never reads
// cannot hold the loop. A listing is made as the client takes it, a chunk at
// a time, so a client that never reads holds at most one chunk of it
// (LISTING_CHUNK, 64 KiB), however long the catalog.
//
// A request frame's buffer grows with the bytes that arrived, never ahead of
// them. The unfinished frames of all sessions together hold at most
// MAX_HELD_FRAME_BYTES beyond the first FRAME_FREE_BYTES of each; a frame
// that would take them past it ends its session, and so does a frame that
// makes no progress for FRAME_STALL_MS.
//
// A login refusal can also be held back (the login throttle decides when it
// may go). Meanwhile the session reads nothing and watches its connection
// for the client's close alone, which ends it at once.
//
// The record's login fields are public: the request handlers of the accounts
// and sharing units read and set them, as the session's own operations do.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/poller.h"
#include "net/tcp_socket.h"
#include "server/user_info.h"
#include "sharing/transfer_pairing.h"

namespace vextora {

class ListItems;
class ServerContext;

enum class SessionState : std::int32_t {
    ReadingHeader = 1,
    ReadingBody = 2,
    MessageReady = 3,
    ReceivingFile = 4,
    SendingFile = 5,
};

class ClientSession final : public ReadyListener {
public:
    // Takes its own copy of the accepted (non-blocking) connection, starts
    // watching it and tells the transfer engine about it. Sends nothing.
    // `server` must outlive the session.
    ClientSession(const TcpSocket& accepted, ServerContext& server);
    // Ends any transfer (dropping a partial upload) and closes everything.
    // Sends nothing.
    ~ClientSession();
    ClientSession(const ClientSession&) = delete;
    ClientSession& operator=(const ClientSession&) = delete;

    // One step. False: the client left, failed, quit, or stalled on replies.
    bool poll();
    // True while the session has work of its own, so that it must be polled
    // in the next pass even if none of its connections is reported: a
    // request waits for dispatch, a transfer runs (its rate window and time
    // limits move with the clock), replies are queued (their stall limit),
    // or reported readiness has not been acted on yet.
    bool needsPolling() const;
    // An unfinished request frame has had no byte for FRAME_STALL_MS: the
    // next poll ends the session. (Sessions waiting for a frame's next byte
    // are not polled, so the list looks for these now and then.)
    bool frameStalled(std::uint32_t now) const;
    // The poller reported one of the session's connections: it is due.
    void onReady() override;
    // Sends REPLY_CLOSING and closes the control connection. The caller
    // destroys the session right after.
    void kick();

    UserInfoSnapshot snapshot() const;
    void updateRate();
    void resetRate() { rate.reset(); }

    // Replies, queued in order and sent as soon as the connection takes them.
    void reply(std::uint8_t code);
    void replyInt32(std::uint32_t value);   // big-endian
    void replyText(std::string_view text);  // length byte, then at most 255 bytes
    void replyListItem(std::string_view text) {
        reply(16);
        replyText(text);
    }
    // The byte at `at` of the replies still queued, if there is one there:
    // with the count queued before a handler ran, what it answered.
    std::size_t queuedReplyBytes() const { return output_.size(); }
    std::optional<std::uint8_t> queuedReplyByte(std::size_t at) const {
        if (at >= output_.size()) return std::nullopt;
        return static_cast<std::uint8_t>(output_[at]);
    }
    // A whole listing: 16 and the text of each entry of `items`, then 17,
    // queued after what is queued already. The entries are taken from
    // `items` only as the client takes the reply; the session owns `items`
    // until its last entry is queued.
    void replyListing(std::unique_ptr<ListItems> items);
    // Keeps a one-byte reply back until releaseHeldReply(); the session's
    // LoginThrottle entry says when. The destructor tells the throttle that
    // a reply still held will not be wanted.
    void holdReply(std::uint8_t code);
    // Queues the held reply; the next poll sends it.
    void releaseHeldReply();
    bool holdsReply() const { return heldReply_.has_value(); }
    std::optional<std::uint8_t> heldReplyCode() const { return heldReply_; }

    // The peer's dotted address, asked of the platform afresh; "0.0.0.0"
    // when the connection has failed meanwhile.
    std::string peerDottedAddress() const;
    // The dotted address the connection was accepted from, for the log.
    std::string acceptedAddress() const { return TcpSocket::dottedAddress(peerAddress); }
    // The caller's own folder, "Users\" + name; empty before any login.
    std::string ownFolder() const;
    ServerContext& server() const { return server_; }

    // The record.
    std::int32_t loginState = 1;  // 1 logged out, 2 logged in
    bool isAdmin = false;
    bool isGuest = false;
    std::string userName;  // account name, or the dotted address when logged out or a guest
    std::string homeRoot;  // "Users\" from the first login on; empty before
    SessionState state = SessionState::ReadingHeader;
    RateWindow rate;

    // The session's place in accept order (from 1), which is also the id the
    // transfer engine knows it by; and whether it is queued to be polled
    // (kept by the ClientList).
    const SessionId acceptOrder;
    bool due = false;

    // The control connection, the address it comes from (network order, as
    // accepted), and its readiness, for the transfer steps.
    TcpSocket control;
    std::uint32_t peerAddress = 0;
    std::uint32_t controlReady = 0;
    std::uint32_t connectTick;
    // Watches the control connection for `interest` (READY_* bits), telling
    // the poller only when it changes.
    void watchControl(std::uint32_t interest);
    // A download ran to its end; a cancel the client sent meanwhile may still
    // be on its way and must not be taken for the start of a request.
    bool downloadCompleted = false;
    // An upload or download runs (its connection may still be awaited).
    bool inTransfer() const {
        return state == SessionState::ReceivingFile || state == SessionState::SendingFile;
    }

private:
    // Replies are queued or a listing is still being made.
    bool replying() const { return !output_.empty() || listing_ != nullptr; }
    bool frameUnfinished() const {
        return state == SessionState::ReadingBody ||
               (state == SessionState::ReadingHeader && headerBytesRead_ > 0);
    }
    // Lets the frame buffer grow to `capacity`, counting it against what all
    // unfinished frames may hold; false when that would go past the limit.
    bool holdFrameBytes(std::size_t capacity);
    void releaseFrameBytes();
    // Ends the session for a limit the client went past; the event log says
    // which when the session goes. Always false, for `return endFor(...)`.
    bool endFor(const char* reason) {
        endedFor_ = reason;
        return false;
    }
    // Queues the next chunk of the listing, and 17 after its last entry.
    void produceListing();
    bool readRequest();
    // One step of the running transfer: the control byte, then the engine's step.
    bool pollTransfer();
    void dispatch();
    bool flushOutput();
    void unwatchAll();

    ServerContext& server_;
    std::uint32_t controlInterest_ = ~0u;

    std::uint8_t headerBuffer_[4] = {};
    std::uint32_t headerBytesRead_ = 0;
    std::uint32_t bodyLength_ = 0;
    std::uint32_t bodyBytesRead_ = 0;
    std::vector<std::uint8_t> requestBody_;
    std::size_t frameCharge_ = 0;          // this frame's part of heldFrameBytes
    std::uint32_t lastInputProgress_ = 0;  // tick of the frame's last byte

    std::optional<std::uint8_t> heldReply_;
    std::string output_;
    std::size_t outputSent_ = 0;
    std::uint32_t lastOutputProgress_ = 0;
    std::unique_ptr<ListItems> listing_;  // the listing being made, if any
    bool closing_ = false;                // quit with replies still queued: send them, then end
    const char* endedFor_ = nullptr;      // the limit that ended the session, if one did
};

}  // namespace vextora
