// The window-system seam: the little the server loop needs of a window system.
//
// The loop shows the main window before the network starts, lets the window
// system handle at most one round of pending events per pass without waiting,
// writes the client count, waits for activity when a pass did nothing, and
// learns of the operator's stop. The console implements this with Qt; without
// a display the headless implementation below stands in.
#pragma once

#include <cstddef>
#include <string_view>

namespace vextora {

class WindowSystem {
public:
    virtual ~WindowSystem() = default;

    virtual void showMainWindow() = 0;
    // Handles pending window events, never waiting. True when any was handled.
    virtual bool processPendingEvents() = 0;
    virtual void setClientCount(std::size_t count) = 0;
    // Returns when `handle` becomes readable, a window event is pending, or
    // timeoutMs has passed, whichever comes first.
    virtual void waitForActivity(int handle, int timeoutMs) = 0;
    // False when the window system has no events of its own to wait for, so
    // that a wait for activity is a wait on the handle alone: the loop then
    // waits inside its own readiness call, one system call fewer per wake.
    virtual bool hasOwnEvents() const { return true; }
    // The operator closed the main window or pressed Exit.
    virtual bool stopRequested() const = 0;
    // A failure that ends the start, shown to the operator.
    virtual void showStartupError(std::string_view message) = 0;
};

// No windows: the count goes nowhere, a wait is a wait on the handle alone.
class HeadlessWindowSystem final : public WindowSystem {
public:
    void showMainWindow() override {}
    bool processPendingEvents() override { return false; }
    void setClientCount(std::size_t count) override { clientCount_ = count; }
    void waitForActivity(int handle, int timeoutMs) override;
    bool hasOwnEvents() const override { return false; }
    bool stopRequested() const override { return false; }
    void showStartupError(std::string_view) override {}

    std::size_t clientCount() const { return clientCount_; }

private:
    std::size_t clientCount_ = 0;
};

}  // namespace vextora
