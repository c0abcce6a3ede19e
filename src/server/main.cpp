// vextora-server: serves its working directory on the control port 23322 and
// the transfer port 23323 until stopped (the console's Exit, SIGINT or
// SIGTERM, or an administrator's stop request).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "platform/event_log.h"
#include "platform/process.h"
#include "platform/tick_clock.h"
#include "platform/window_system.h"
#include "server/server.h"

#ifdef VEXTORA_HAS_CONSOLE
#include "console/console.h"
#endif

namespace {

constexpr const char* USAGE =
    "Usage: vextora-server [--headless] [--log=quiet|events|debug] [--help] [--version]\n"
    "\n"
    "Serves the current working directory to Vextora clients: requests on TCP\n"
    "port 23322, file transfers on TCP port 23323. Accounts, passwords and the\n"
    "shared-file catalog live in plain files in that directory.\n"
    "\n"
    "  --headless   run without the administration console\n"
    "  --log=LEVEL  what the event log on standard error records: quiet\n"
    "               (nothing), events (logins, transfers, catalog changes,\n"
    "               kicks, stops; the default) or debug (also every connection\n"
    "               and request)\n"
    "  --help       show this help and exit\n"
    "  --version    show the version and exit\n"
    "\n"
    "SIGINT and SIGTERM stop the server; every client is told before it is\n"
    "disconnected.\n";

// Longest wait at exit for the last log lines to go out.
constexpr int LOG_FLUSH_MS = 1000;

std::string dataFolder() {
    std::error_code error;
    std::filesystem::path folder = std::filesystem::current_path(error);
    return error ? std::string(".") : folder.string();
}

}  // namespace

int main(int argc, char** argv) {
    bool headless = false;
    vextora::LogLevel logLevel = vextora::LogLevel::Events;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (std::strcmp(argv[i], "--headless") == 0) {
            headless = true;
        } else if (arg.starts_with("--log=") && vextora::parseLogLevel(arg.substr(6))) {
            logLevel = *vextora::parseLogLevel(arg.substr(6));
        } else if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(USAGE, stdout);
            return 0;
        } else if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("vextora-server %s\n", VEXTORA_VERSION);
            return 0;
        } else {
            std::fprintf(stderr, "vextora-server: unknown argument '%s'\n\n%s", argv[i], USAGE);
            return 2;
        }
    }

    vextora::raiseDescriptorLimit();
    vextora::SystemTickClock clock;
    std::unique_ptr<vextora::WindowSystem> window;
#ifdef VEXTORA_HAS_CONSOLE
    if (!headless) window = vextora::createConsole(argc, argv);
#else
    (void)headless;  // this build has no console: always headless
#endif
    if (!window) window = std::make_unique<vextora::HeadlessWindowSystem>();

    vextora::Server server(vextora::ServerConfig{}, *window, clock);
#ifdef VEXTORA_HAS_CONSOLE
    vextora::attachConsole(*window, server);
#endif
    vextora::routeStopSignals(server.stopFlag(), server.wakeEvent());
    window->showMainWindow();

    std::string error;
    if (!server.start(error)) {
        std::fprintf(stderr, "vextora-server: %s\n", error.c_str());
        window->showStartupError(error);
        return 1;
    }
    for (const std::string& warning : server.startWarnings())
        std::fprintf(stderr, "vextora-server: %s\n", warning.c_str());

    const char* journal = std::getenv("JOURNAL_STREAM");
    vextora::EventLog::process().open(2, logLevel, journal != nullptr ? journal : "");
    vextora::logEvent("start", {{"version", VEXTORA_VERSION},
                                {"request_port", server.controlPort()},
                                {"transfer_port", vextora::ServerConfig{}.transferPort},
                                {"data", dataFolder()},
                                {"max_clients", server.clientLimit()}});
    int status = server.run();
    vextora::EventLog::process().flush(LOG_FLUSH_MS);
    return status;
}
