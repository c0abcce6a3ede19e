#include "console/qt_window_system.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QSocketNotifier>

#include "console/controls.h"
#include "console/main_window.h"

namespace vextora::console {

bool EventCounter::eventFilter(QObject* watched, QEvent* event) {
    ++count_;
    return QObject::eventFilter(watched, event);
}

QtWindowSystem::QtWindowSystem(std::unique_ptr<QApplication> application)
    : application_(std::move(application)), mainWindow_(std::make_unique<MainWindow>()) {
    // The loop ends by the stop flag; Qt's own quit has no loop to end.
    QApplication::setQuitOnLastWindowClosed(false);
    QCoreApplication::instance()->installEventFilter(&counter_);
    waitTimer_.setSingleShot(true);
}

QtWindowSystem::~QtWindowSystem() {
    QCoreApplication::instance()->removeEventFilter(&counter_);
    wake_.reset();
    mainWindow_.reset();
}

void QtWindowSystem::attach(ClientList& clients, const FileSystem& files) {
    mainWindow_->attach(clients, files);
}

void QtWindowSystem::showMainWindow() {
    centreOnScreen(mainWindow_.get());
    mainWindow_->show();
}

bool QtWindowSystem::processPendingEvents() {
    unsigned long long before = counter_.count();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    return counter_.count() != before;
}

void QtWindowSystem::setClientCount(std::size_t count) {
    mainWindow_->setClientCount(count);
}

void QtWindowSystem::waitForActivity(int handle, int timeoutMs) {
    if (!wake_ || wake_->socket() != handle)
        wake_ = std::make_unique<QSocketNotifier>(handle, QSocketNotifier::Read);
    wake_->setEnabled(true);
    waitTimer_.start(timeoutMs);
    // Events that end the wait are handled here, between two passes, as
    // those of processPendingEvents are. Holding the operator's input back
    // instead is no option: on X11 it would then wait for the next event.
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    waitTimer_.stop();
    wake_->setEnabled(false);
}

bool QtWindowSystem::stopRequested() const {
    return mainWindow_->stopRequested();
}

void QtWindowSystem::showStartupError(std::string_view message) {
    QPointer<QMessageBox> box = showErrorBox(mainWindow_.get(), displayText(message));
    while (box && box->isVisible() && !mainWindow_->stopRequested())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

}  // namespace vextora::console
