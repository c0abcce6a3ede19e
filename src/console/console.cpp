#include "console/console.h"

#include <QApplication>
#include <cstdio>

#include "console/qt_window_system.h"
#include "server/server.h"

namespace vextora {

std::unique_ptr<WindowSystem> createConsole(int& argc, char** argv) {
    const bool platformChosen = !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
    if (!platformChosen && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return nullptr;

    // A display that is named but cannot be opened would end the process
    // inside Qt. Offered the invisible platform as the last choice, Qt
    // starts on it instead, and the server runs without windows.
    if (!platformChosen) {
        qputenv("QT_QPA_PLATFORM", qEnvironmentVariableIsEmpty("DISPLAY")
                                       ? QByteArrayLiteral("wayland;xcb;offscreen")
                                       : QByteArrayLiteral("xcb;wayland;offscreen"));
    }
    auto application = std::make_unique<QApplication>(argc, argv);
    if (!platformChosen) {
        qunsetenv("QT_QPA_PLATFORM");
        if (QGuiApplication::platformName() == QLatin1String("offscreen")) {
            std::fputs(
                "vextora-server: the display cannot be opened; running without the "
                "console\n",
                stderr);
            return nullptr;
        }
    }
    return std::make_unique<console::QtWindowSystem>(std::move(application));
}

void attachConsole(WindowSystem& window, Server& server) {
    if (auto* console = dynamic_cast<console::QtWindowSystem*>(&window))
        console->attach(server.clients(), server.files());
}

}  // namespace vextora
