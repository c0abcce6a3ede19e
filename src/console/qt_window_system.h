// QtWindowSystem: the window-system seam of the server loop, with Qt Widgets.
//
// It owns the main window and, in the program, the QApplication. The loop
// calls it on the GUI thread: processPendingEvents() handles the window
// events that are pending and returns at once; waitForActivity() sleeps in
// Qt's event dispatcher until the server's readiness handle, a window event
// or the time-out wakes it, so an idle server with its console open uses no
// processor. A window event that ends the wait is handled right there; like
// every console handler it runs between two passes, never inside a poll.
#pragma once

#include <QObject>
#include <QTimer>
#include <memory>
#include <string_view>

#include "platform/window_system.h"

class QApplication;
class QSocketNotifier;

namespace vextora {

class ClientList;
class FileSystem;

namespace console {

class MainWindow;

// Counts the events the application delivers, to tell a round that handled
// some from one that found nothing.
class EventCounter final : public QObject {
    Q_OBJECT
public:
    unsigned long long count() const { return count_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    unsigned long long count_ = 0;
};

class QtWindowSystem final : public WindowSystem {
public:
    // Takes the application when given one; otherwise a QApplication must
    // already exist and outlive this object. Creates the main window hidden.
    explicit QtWindowSystem(std::unique_ptr<QApplication> application = nullptr);
    ~QtWindowSystem() override;
    QtWindowSystem(const QtWindowSystem&) = delete;
    QtWindowSystem& operator=(const QtWindowSystem&) = delete;

    // The server the dialogs work on; both must outlive this object.
    void attach(ClientList& clients, const FileSystem& files);
    MainWindow& mainWindow() { return *mainWindow_; }

    void showMainWindow() override;
    bool processPendingEvents() override;
    void setClientCount(std::size_t count) override;
    void waitForActivity(int handle, int timeoutMs) override;
    bool stopRequested() const override;
    // Shows an "Error" box and returns when the operator has answered it (or
    // closed the main window): nothing is being served yet.
    void showStartupError(std::string_view message) override;

private:
    std::unique_ptr<QApplication> application_;  // destroyed last
    EventCounter counter_;
    std::unique_ptr<MainWindow> mainWindow_;  // top level; Qt owns what is below it
    std::unique_ptr<QSocketNotifier> wake_;   // on the loop's readiness handle
    QTimer waitTimer_;
};

}  // namespace console
}  // namespace vextora
