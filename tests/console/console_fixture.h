// The console against an in-process server: the real widgets on Qt's
// offscreen platform, the server on free ports with a fresh data folder, and
// real clients over loopback.
//
// Widgets live on the GUI thread, so the server loop runs here too: the test
// thread runs passes (serveUntil) while clients work on threads of their own
// (inBackground). Clicks and checks happen between passes, exactly where the
// loop handles window events. The server's clock is a manual one.
#pragma once

#include <gtest/gtest.h>

#include <QMessageBox>
#include <QPushButton>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <ostream>
#include <string>

#include "client/client.h"
#include "console/controls.h"
#include "console/main_window.h"
#include "console/qt_window_system.h"
#include "platform/tick_clock.h"
#include "server/server.h"
#include "support/temp_dir.h"

// Readable failures: QString as text.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace vextora::test {

class ConsoleFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs passes of the server loop until `condition` holds; false if it
    // still does not at the deadline.
    bool serveUntil(const std::function<bool()>& condition, int timeoutMs = 5000);
    // Runs `work` on a client thread; the test thread must serve meanwhile.
    template <typename Work>
    auto inBackground(Work work) {
        return std::async(std::launch::async, std::move(work));
    }
    // Serves until the background work is done, and returns its result.
    template <typename Result>
    Result finish(std::future<Result>& work) {
        bool done = serveUntil(
            [&] { return work.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
            20000);
        EXPECT_TRUE(done) << "the client did not finish";
        return work.get();
    }
    template <typename Work>
    auto whileServing(Work work) {
        auto running = inBackground(std::move(work));
        return finish(running);
    }

    // A connected client, not logged in, once the server has accepted it.
    std::unique_ptr<client::Client> connect();
    // A client logged in as `name`, its account created first unless it is
    // ADMIN or GUEST.
    std::unique_ptr<client::Client> loginAs(const std::string& name,
                                            const std::string& password = "pw");

    console::MainWindow& mainWindow() { return window_->mainWindow(); }
    // Presses a button of the main window and returns the dialog it opened.
    template <typename Dialog>
    Dialog* openDialog(int buttonId) {
        int before = mainWindow().findChildren<Dialog*>().size();
        click(&mainWindow(), buttonId);
        auto dialogs = mainWindow().findChildren<Dialog*>();
        EXPECT_EQ(dialogs.size(), before + 1);
        return dialogs.isEmpty() ? nullptr : dialogs.back();
    }
    static void click(QWidget* window, int buttonId);
    // Presses a button as the operator's mouse does, through the window
    // system: a window that a message box holds ignores it.
    static void press(QWidget* window, int buttonId);
    template <typename Control>
    static Control* control(QWidget* window, int id) {
        auto* found = console::findControl<Control>(window, id);
        EXPECT_NE(found, nullptr) << "no control " << id;
        return found;
    }
    static QString textOf(QWidget* window, int id);

    // The message box `owner` shows, or null.
    static QMessageBox* openBox(QWidget* owner);
    // How many message boxes `owner` shows.
    static int openBoxes(QWidget* owner);
    // Answers the box `owner` shows with `button`; false when none is shown.
    bool answerBox(QWidget* owner, QMessageBox::StandardButton button);
    // The text of the box `owner` shows, answered with OK; "" when none.
    std::string takeError(QWidget* owner);

    int idleWaitMs_ = 20;  // short, so serveUntil sees a condition change soon
    TempDir dir_;
    ManualTickClock clock_;
    std::unique_ptr<console::QtWindowSystem> window_;
    std::unique_ptr<Server> server_;
};

}  // namespace vextora::test
