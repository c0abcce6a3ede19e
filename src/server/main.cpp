// vextora-server: serves its working directory on the control port 23322 and
// the transfer port 23323 until stopped (the console's Exit, SIGINT or
// SIGTERM, or an administrator's stop request).
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "platform/process.h"
#include "platform/tick_clock.h"
#include "platform/window_system.h"
#include "server/server.h"

#ifdef VEXTORA_HAS_CONSOLE
#include "console/console.h"
#endif

namespace {

constexpr const char* USAGE =
    "Usage: vextora-server [--headless] [--help] [--version]\n"
    "\n"
    "Serves the current working directory to Vextora clients: requests on TCP\n"
    "port 23322, file transfers on TCP port 23323. Accounts, passwords and the\n"
    "shared-file catalog live in plain files in that directory.\n"
    "\n"
    "  --headless   run without the administration console\n"
    "  --help       show this help and exit\n"
    "  --version    show the version and exit\n"
    "\n"
    "SIGINT and SIGTERM stop the server; every client is told before it is\n"
    "disconnected.\n";

}  // namespace

int main(int argc, char** argv) {
    bool headless = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--headless") == 0) {
            headless = true;
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
    return server.run();
}
