// Invocation: what the vextora command line asks for.
//
// Options for the whole program come before the command word, as with git;
// everything after the command word belongs to the command (see commands.h).
// Parsing does no I/O: a mistake comes back as a message for a usage error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/protocol.h"

namespace vextora::client {

struct Invocation {
    std::string host = "127.0.0.1";
    std::uint16_t controlPort = CONTROL_PORT;
    std::uint16_t transferPort = TRANSFER_PORT;  // control port + 1 unless given
    std::string user;                            // empty: no login asked for
    std::string passwordFile;                    // empty: none given
    bool quiet = false;                          // no confirmations of what was done
    bool help = false;
    bool version = false;
    std::vector<std::string> words;  // the command word and its arguments
};

struct InvocationParse {
    std::optional<Invocation> invocation;
    std::string error;  // set when invocation is empty
};

// Reads the arguments after the program name.
InvocationParse parseInvocation(const std::vector<std::string>& args);

// A port, 1 to 65535.
std::optional<std::uint16_t> parsePort(std::string_view text);
// A byte count with an optional binary suffix: "1500", "64K", "2M", "1G".
// Empty for anything else, for 0, and for counts that do not fit.
std::optional<std::uint64_t> parseByteCount(std::string_view text);

}  // namespace vextora::client
