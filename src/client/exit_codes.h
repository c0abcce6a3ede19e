// The exit codes of the vextora program, which scripts rely on.
#pragma once

namespace vextora::client {

inline constexpr int EXIT_DONE = 0;
inline constexpr int EXIT_REFUSED = 1;        // the server refused; the message says why
inline constexpr int EXIT_USAGE = 2;          // the command line cannot be carried out
inline constexpr int EXIT_FAILED = 3;         // connection, transfer or local file failure
inline constexpr int EXIT_INTERRUPTED = 130;  // Ctrl+C, as a shell reports SIGINT

}  // namespace vextora::client
