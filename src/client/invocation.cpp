#include "client/invocation.h"

#include <charconv>
#include <limits>

namespace vextora::client {

namespace {

// "--name=value" or "--name value" (and "-n value"): the value, moving `index`
// past what was used. Empty when the option has none.
std::optional<std::string> valueOf(const std::vector<std::string>& args, std::size_t& index,
                                   std::string_view attached) {
    if (!attached.empty()) return std::string(attached);
    if (index + 1 >= args.size()) return std::nullopt;
    return args[++index];
}

}  // namespace

std::optional<std::uint16_t> parsePort(std::string_view text) {
    unsigned value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) return {};
    if (value == 0 || value > 65535) return {};
    return static_cast<std::uint16_t>(value);
}

std::optional<std::uint64_t> parseByteCount(std::string_view text) {
    std::uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end == text.data() || value == 0) return {};
    std::string_view suffix(end, static_cast<std::size_t>(text.data() + text.size() - end));
    int shift = 0;
    if (suffix == "K" || suffix == "k") {
        shift = 10;
    } else if (suffix == "M" || suffix == "m") {
        shift = 20;
    } else if (suffix == "G" || suffix == "g") {
        shift = 30;
    } else if (!suffix.empty()) {
        return {};
    }
    if (value > (std::numeric_limits<std::uint64_t>::max() >> shift)) return {};
    return value << shift;
}

InvocationParse parseInvocation(const std::vector<std::string>& args) {
    Invocation invocation;
    std::optional<std::uint16_t> transferPort;
    std::size_t index = 0;
    for (; index < args.size(); ++index) {
        const std::string& arg = args[index];
        if (arg == "--") {
            ++index;
            break;
        }
        if (arg.size() < 2 || arg[0] != '-') break;  // the command word ("-" included)

        std::string_view name = arg;
        std::string_view attached;
        if (arg.starts_with("--")) {
            auto equals = arg.find('=');
            if (equals != std::string::npos) {
                name = std::string_view(arg).substr(0, equals);
                attached = std::string_view(arg).substr(equals + 1);
                if (attached.empty()) return {{}, "option " + std::string(name) + " needs a value"};
            }
        }
        auto needValue = [&]() -> std::optional<std::string> {
            return valueOf(args, index, attached);
        };

        if (name == "-h" || name == "--help") {
            invocation.help = true;
        } else if (name == "--version") {
            invocation.version = true;
        } else if (name == "-q" || name == "--quiet") {
            invocation.quiet = true;
        } else if (name == "-H" || name == "--host") {
            auto value = needValue();
            if (!value || value->empty()) return {{}, "option -H needs a host"};
            invocation.host = *value;
        } else if (name == "-u" || name == "--user") {
            auto value = needValue();
            if (!value || value->empty()) return {{}, "option -u needs an account name"};
            invocation.user = *value;
        } else if (name == "-p" || name == "--port") {
            auto value = needValue();
            auto port = value ? parsePort(*value) : std::nullopt;
            if (!port) return {{}, "option -p needs a port from 1 to 65535"};
            invocation.controlPort = *port;
        } else if (name == "--transfer-port") {
            auto value = needValue();
            auto port = value ? parsePort(*value) : std::nullopt;
            if (!port) return {{}, "option --transfer-port needs a port from 1 to 65535"};
            transferPort = *port;
        } else if (name == "--password-file") {
            auto value = needValue();
            if (!value || value->empty()) return {{}, "option --password-file needs a file"};
            invocation.passwordFile = *value;
        } else if (name == "--password" || name == "-P") {
            // A password in the arguments shows in the process list and in
            // the shell's history; it is never accepted.
            return {{},
                    "passwords are never given as arguments; use --password-file FILE, the "
                    "environment variable VEXTORA_PASSWORD, or type it when asked"};
        } else {
            return {{}, "unknown option '" + arg + "'"};
        }
    }
    invocation.words.assign(args.begin() + static_cast<std::ptrdiff_t>(index), args.end());

    if (transferPort) {
        invocation.transferPort = *transferPort;
    } else if (invocation.controlPort == 65535) {
        return {{}, "control port 65535 has no next port; give --transfer-port"};
    } else {
        invocation.transferPort = static_cast<std::uint16_t>(invocation.controlPort + 1);
    }
    return {invocation, {}};
}

}  // namespace vextora::client
