// Invocation: what the vextora command line asks for.
//
// Options for the whole program come before the command word, as with git;
// everything after the command word belongs to the command (see commands.h).
// What the command line leaves out comes from the environment, then from
// the config file (applyDefaults), then from the built-in defaults. Parsing
// does no I/O: a mistake comes back as a message for a usage error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/protocol.h"

namespace vextora::client {

inline constexpr int DEFAULT_TIMEOUT_SECONDS = 10;

struct Invocation {
    std::string host = "127.0.0.1";
    std::uint16_t controlPort = CONTROL_PORT;
    std::uint16_t transferPort = TRANSFER_PORT;    // control port + 1 unless given
    std::string user;                              // empty: no login asked for
    std::string passwordFile;                      // empty: none given
    int timeoutSeconds = DEFAULT_TIMEOUT_SECONDS;  // to connect, and for each answer
    bool quiet = false;                            // no confirmations of what was done
    bool verbose = false;                          // say each step; a batch echoes its commands
    bool help = false;
    bool version = false;
    bool noConfig = false;                 // --no-config: the config file is not read
    std::optional<std::string> batchFile;  // -b FILE: the commands of a batch
    std::vector<std::string> words;        // the command word and its arguments

    // What the command line itself gave; the rest may come from defaults.
    bool hostGiven = false;
    bool portGiven = false;
    bool transferPortGiven = false;
    bool userGiven = false;
    bool passwordFileGiven = false;
    bool timeoutGiven = false;
};

struct InvocationParse {
    std::optional<Invocation> invocation;
    std::string error;  // set when invocation is empty
};

// Reads the arguments after the program name.
InvocationParse parseInvocation(const std::vector<std::string>& args);

// Settings from outside the command line: the environment or the config
// file. Each one that is set stands in for an option not given.
struct Defaults {
    std::optional<std::string> host;
    std::optional<std::uint16_t> port;
    std::optional<std::uint16_t> transferPort;
    std::optional<std::string> user;
    std::optional<std::string> passwordFile;
    std::optional<int> timeoutSeconds;
};

struct DefaultsParse {
    std::optional<Defaults> defaults;
    std::string error;  // set when defaults is empty: the source and what is wrong
};

// The config file's text. One setting a line, `key = value`; blank lines
// and lines starting with # are skipped. Keys: host (HOST or HOST:PORT),
// port, transfer-port, user, password-file, timeout (seconds). A password
// file given by a relative path lies in `folder`, the config file's own;
// a leading ~/ stands for `home`.
DefaultsParse parseConfig(std::string_view text, const std::string& fileName,
                          const std::string& folder, const std::string& home);
// VEXTORA_HOST (HOST or HOST:PORT) and VEXTORA_USER; null when not set.
DefaultsParse defaultsFromEnvironment(const char* host, const char* user);
// $XDG_CONFIG_HOME/vextora/config, else $HOME/.config/vextora/config; empty
// when neither is set. Null arguments are variables that are not set.
std::string configPath(const char* xdgConfigHome, const char* home);

// Fills in what neither the command line nor an earlier source gave; call it
// with the environment first, then the config file. The transfer port
// follows the control port unless some source gave it. Empty on success,
// else a message for a usage error.
std::string applyDefaults(Invocation& invocation, const Defaults& defaults);

struct HostPort {
    std::string host;
    std::optional<std::uint16_t> port;
    std::string error;  // set when the text cannot be a server's address
};
// HOST or HOST:PORT. An IPv6 address (two colons or more, or brackets) is
// refused as such: the client speaks IPv4 only.
HostPort parseHostPort(std::string_view text);

// A port, 1 to 65535.
std::optional<std::uint16_t> parsePort(std::string_view text);
// A byte count with an optional binary suffix: "1500", "64K", "2M", "1G".
// Empty for anything else, for 0, and for counts that do not fit.
std::optional<std::uint64_t> parseByteCount(std::string_view text);
// Whole seconds from 1 to 3600.
std::optional<int> parseSeconds(std::string_view text);

}  // namespace vextora::client
