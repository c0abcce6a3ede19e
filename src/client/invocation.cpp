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

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

constexpr std::string_view IPV4_ONLY =
    "is an IPv6 address; the client speaks IPv4 only (give an IPv4 address or a host name)";

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

std::optional<int> parseSeconds(std::string_view text) {
    int value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) return {};
    if (value < 1 || value > 3600) return {};
    return value;
}

HostPort parseHostPort(std::string_view text) {
    HostPort result;
    std::string shown(text);
    if (text.empty()) {
        result.error = "no host given";
        return result;
    }
    auto colon = text.find(':');
    if (text.front() == '[' ||
        (colon != std::string_view::npos && text.find(':', colon + 1) != std::string_view::npos)) {
        result.error = "'" + shown + "' " + std::string(IPV4_ONLY);
        return result;
    }
    result.host = std::string(text.substr(0, colon));
    if (result.host.empty()) {
        result.error = "'" + shown + "' has no host before its ':'";
        return result;
    }
    if (colon != std::string_view::npos) {
        result.port = parsePort(text.substr(colon + 1));
        if (!result.port) result.error = "'" + shown + "': the port after ':' must be 1 to 65535";
    }
    return result;
}

InvocationParse parseInvocation(const std::vector<std::string>& args) {
    Invocation invocation;
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
        } else if (name == "-v" || name == "--verbose") {
            invocation.verbose = true;
        } else if (name == "--no-config") {
            invocation.noConfig = true;
        } else if (name == "-H" || name == "--host") {
            auto value = needValue();
            if (!value || value->empty()) return {{}, "option -H needs a host"};
            HostPort address = parseHostPort(*value);
            if (!address.error.empty()) return {{}, "option -H: " + address.error};
            invocation.host = address.host;
            invocation.hostGiven = true;
            if (address.port) {
                if (invocation.portGiven && invocation.controlPort != *address.port)
                    return {{}, "the port is given twice, by -p and by -H HOST:PORT"};
                invocation.controlPort = *address.port;
                invocation.portGiven = true;
            }
        } else if (name == "-u" || name == "--user") {
            auto value = needValue();
            if (!value || value->empty()) return {{}, "option -u needs an account name"};
            invocation.user = *value;
            invocation.userGiven = true;
        } else if (name == "-p" || name == "--port") {
            auto value = needValue();
            auto port = value ? parsePort(*value) : std::nullopt;
            if (!port) return {{}, "option -p needs a port from 1 to 65535"};
            if (invocation.portGiven && invocation.controlPort != *port)
                return {{}, "the port is given twice, by -p and by -H HOST:PORT"};
            invocation.controlPort = *port;
            invocation.portGiven = true;
        } else if (name == "--transfer-port") {
            auto value = needValue();
            auto port = value ? parsePort(*value) : std::nullopt;
            if (!port) return {{}, "option --transfer-port needs a port from 1 to 65535"};
            invocation.transferPort = *port;
            invocation.transferPortGiven = true;
        } else if (name == "--password-file") {
            auto value = needValue();
            if (!value || value->empty()) return {{}, "option --password-file needs a file"};
            invocation.passwordFile = *value;
            invocation.passwordFileGiven = true;
        } else if (name == "--timeout") {
            auto value = needValue();
            auto seconds = value ? parseSeconds(*value) : std::nullopt;
            if (!seconds) return {{}, "option --timeout needs whole seconds from 1 to 3600"};
            invocation.timeoutSeconds = *seconds;
            invocation.timeoutGiven = true;
        } else if (name == "-b" || name == "--batch") {
            auto value = needValue();
            if (!value || value->empty()) return {{}, "option -b needs a file of commands"};
            invocation.batchFile = *value;
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
    if (invocation.batchFile && !invocation.words.empty())
        return {{}, "-b runs the commands of its file; give no command after it"};

    if (!invocation.transferPortGiven) {
        if (invocation.controlPort == 65535)
            return {{}, "control port 65535 has no next port; give --transfer-port"};
        invocation.transferPort = static_cast<std::uint16_t>(invocation.controlPort + 1);
    }
    return {invocation, {}};
}

DefaultsParse parseConfig(std::string_view text, const std::string& fileName,
                          const std::string& folder, const std::string& home) {
    Defaults defaults;
    int number = 0;
    while (!text.empty()) {
        ++number;
        auto end = text.find('\n');
        std::string_view line = trimmed(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.empty() || line.front() == '#') continue;
        std::string where = fileName + " line " + std::to_string(number) + ": ";
        auto equals = line.find('=');
        if (equals == std::string_view::npos) return {{}, where + "expected KEY = VALUE"};
        std::string key(trimmed(line.substr(0, equals)));
        std::string_view value = trimmed(line.substr(equals + 1));
        if (value.empty()) return {{}, where + key + " needs a value"};
        if (key == "host") {
            HostPort address = parseHostPort(value);
            if (!address.error.empty()) return {{}, where + address.error};
            defaults.host = address.host;
            if (address.port) defaults.port = address.port;
        } else if (key == "port" || key == "transfer-port") {
            auto port = parsePort(value);
            if (!port) return {{}, where + key + " must be a port from 1 to 65535"};
            (key == "port" ? defaults.port : defaults.transferPort) = port;
        } else if (key == "user") {
            defaults.user = std::string(value);
        } else if (key == "password-file") {
            std::string path(value);
            if (path.starts_with("~/"))
                path = home + path.substr(1);
            else if (!path.starts_with('/'))
                path = folder + "/" + path;
            defaults.passwordFile = path;
        } else if (key == "timeout") {
            defaults.timeoutSeconds = parseSeconds(value);
            if (!defaults.timeoutSeconds) return {{}, where + "timeout must be 1 to 3600 seconds"};
        } else {
            return {{},
                    where + "unknown key '" + key +
                        "' (known: host, port, transfer-port, user, password-file, timeout)"};
        }
    }
    return {defaults, {}};
}

DefaultsParse defaultsFromEnvironment(const char* host, const char* user) {
    Defaults defaults;
    if (host != nullptr && *host != '\0') {
        HostPort address = parseHostPort(host);
        if (!address.error.empty()) return {{}, "VEXTORA_HOST: " + address.error};
        defaults.host = address.host;
        defaults.port = address.port;
    }
    if (user != nullptr && *user != '\0') defaults.user = std::string(user);
    return {defaults, {}};
}

std::string configPath(const char* xdgConfigHome, const char* home) {
    // An XDG variable that is not an absolute path is to be ignored.
    if (xdgConfigHome != nullptr && xdgConfigHome[0] == '/')
        return std::string(xdgConfigHome) + "/vextora/config";
    if (home != nullptr && *home != '\0') return std::string(home) + "/.config/vextora/config";
    return {};
}

std::string applyDefaults(Invocation& invocation, const Defaults& defaults) {
    if (!invocation.hostGiven && defaults.host) {
        invocation.host = *defaults.host;
        invocation.hostGiven = true;
    }
    if (!invocation.portGiven && defaults.port) {
        invocation.controlPort = *defaults.port;
        invocation.portGiven = true;
    }
    if (!invocation.transferPortGiven && defaults.transferPort) {
        invocation.transferPort = *defaults.transferPort;
        invocation.transferPortGiven = true;
    }
    if (!invocation.transferPortGiven) {
        if (invocation.controlPort == 65535)
            return "control port 65535 has no next port; give --transfer-port";
        invocation.transferPort = static_cast<std::uint16_t>(invocation.controlPort + 1);
    }
    if (invocation.user.empty() && defaults.user) invocation.user = *defaults.user;
    if (!invocation.passwordFileGiven && defaults.passwordFile) {
        invocation.passwordFile = *defaults.passwordFile;
        invocation.passwordFileGiven = true;
    }
    if (!invocation.timeoutGiven && defaults.timeoutSeconds) {
        invocation.timeoutSeconds = *defaults.timeoutSeconds;
        invocation.timeoutGiven = true;
    }
    return {};
}

}  // namespace vextora::client
