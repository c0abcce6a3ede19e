// Every code, port and limit that crosses the wire. The server and the client
// program both include this header, so the numbers exist in one place only.
//
// A request travels in a frame: a 4-byte big-endian payload length, then the
// payload, whose first byte is the request code. Text inside a payload is one
// length byte n and n bytes. Replies are raw bytes with no frame, mostly one
// status byte; every 32-bit integer on the wire is big-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vextora {

inline constexpr std::uint16_t CONTROL_PORT = 23322;
inline constexpr std::uint16_t TRANSFER_PORT = 23323;

enum RequestCode : std::uint8_t {
    REQ_LOGIN = 1,
    REQ_CREATE_ACCOUNT = 2,
    REQ_DOWNLOAD = 3,
    REQ_UPLOAD = 4,
    REQ_RENAME_FILE = 5,
    REQ_DELETE_FILE = 6,
    REQ_FILE_INFO = 7,
    REQ_SET_SHARED = 8,
    REQ_LIST_FILES = 9,
    REQ_LOGOUT = 10,
    REQ_QUIT = 11,
    REQ_LIST_USERS = 12,
    REQ_USER_INFO = 13,
    REQ_KICK_USER = 14,
    REQ_STOP_SERVER = 15,
};

enum ReplyCode : std::uint8_t {
    REPLY_CLOSING = 11,
    REPLY_LIST_ITEM = 16,
    REPLY_LIST_END = 17,
    REPLY_OK = 18,
    REPLY_FAILED = 19,
    REPLY_CANNOT_KICK_SELF = 20,
    REPLY_BAD_NAME = 21,
    REPLY_BAD_PASSWORD = 22,
    REPLY_ADMIN_ONLY = 23,
};

// Sent by a client on its control connection during a transfer to abandon it.
inline constexpr std::uint8_t CANCEL_TRANSFER = 17;

// Selector byte of listings and downloads that means "the caller's own folder";
// any other value means the shared catalog.
inline constexpr std::uint8_t SELECT_OWN_FOLDER = 24;

// Transfer directions as the administrator's user information reports them.
enum TransferDirection : std::uint8_t {
    DIRECTION_NONE = 1,
    DIRECTION_TO_SERVER = 2,
    DIRECTION_TO_CLIENT = 3,
};

// Announced instead of a size when a file cannot be measured or opened.
inline constexpr std::uint32_t SIZE_UNAVAILABLE = 0xFFFFFFFF;

// The longest real request is 513 bytes; a header announcing more than this
// ends the session before anything is allocated.
inline constexpr std::uint32_t MAX_FRAME_PAYLOAD = 65536;

// What the unfinished request frames of all sessions may hold together,
// counting only what each holds beyond its first FRAME_FREE_BYTES. A frame
// that would take them past it ends its session. No real request is that
// long, so none is ever refused for it, whatever other clients hold.
inline constexpr std::size_t FRAME_FREE_BYTES = 1024;
inline constexpr std::size_t MAX_HELD_FRAME_BYTES = 16 * 1024 * 1024;

// A client's piece size is clamped into this range. The byte stream shows no
// piece boundaries, so the clamp is invisible to clients.
inline constexpr std::uint32_t MIN_PIECE_SIZE = 4096;
inline constexpr std::uint32_t MAX_PIECE_SIZE = 1024 * 1024;

// Longest text that one length byte can carry, and so the longest line of a
// data file that the server reads as a value.
inline constexpr std::size_t MAX_TEXT = 255;

// Account names longer than this have no room for "Users\" and the NUL.
inline constexpr std::size_t MAX_ACCOUNT_NAME = 253;

// Time limits, in milliseconds.
inline constexpr std::uint32_t TRANSFER_HOLD_MS = 30000;   // early transfer connection
inline constexpr std::uint32_t TRANSFER_AWAIT_MS = 60000;  // session awaiting its connection
inline constexpr std::uint32_t REPLY_STALL_MS = 5000;      // reply the client does not take
inline constexpr std::uint32_t FRAME_STALL_MS = 60000;     // request frame that stops arriving

}  // namespace vextora
