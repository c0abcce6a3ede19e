// The administration console: the server's window system when a display is
// there to show it.
#pragma once

#include <memory>

#include "platform/window_system.h"

namespace vextora {

class Server;

// The console, or null when there is no display: neither DISPLAY nor
// WAYLAND_DISPLAY is set and QT_QPA_PLATFORM does not choose a platform, or
// the display that is named cannot be opened. The server then runs without
// windows. argc and argv must outlive the console.
std::unique_ptr<WindowSystem> createConsole(int& argc, char** argv);

// Gives the console's dialogs the server's clients and data folder. Does
// nothing when `window` is not the console. The server must outlive the
// console's windows.
void attachConsole(WindowSystem& window, Server& server);

}  // namespace vextora
