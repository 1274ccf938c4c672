#pragma once
// The application object: the one main run loop of a desktop program, its delegate, and the way
// it quits. Quitting is a conversation with the delegate: terminate() asks
// applicationShouldTerminate(), which answers now, later (the delegate finishes some work first and
// then calls replyToApplicationShouldTerminate) or cancel.
//
// Quit requests from outside arrive as signals, standing in for the desktop's quit events:
//   SIGINT  a user quit: an event without a reason;
//   SIGTERM a system quit (logout, restart, shutdown): an event whose reason is kQuitReasonShutDown.
// While applicationShouldTerminate() runs for such a request, currentEvent() names it; a quit asked
// for by code (terminate()) has no current event. Both signals must be blocked in every thread
// (platform::blockSignals in main(), before any thread starts) so that they reach the run loop.
//
// Threads: run() on the main thread; terminate() and replyToApplicationShouldTerminate() from any
// thread (they hop to the main queue). Delegate callbacks run on the main queue.
#include <cstdint>
#include <memory>
#include <optional>

namespace platform {

constexpr std::uint32_t fourCharCode(const char (&code)[5]) {
    return (std::uint32_t(std::uint8_t(code[0])) << 24) | (std::uint32_t(std::uint8_t(code[1])) << 16) |
           (std::uint32_t(std::uint8_t(code[2])) << 8) | std::uint32_t(std::uint8_t(code[3]));
}

inline constexpr std::uint32_t kQuitReasonShutDown = fourCharCode("shut");

// The event that asked the application to quit; `reason` is absent when the event names none.
struct QuitEvent {
    std::optional<std::uint32_t> reason;
};

enum class TerminateReply { terminateCancel, terminateNow, terminateLater };

class ApplicationDelegate {
public:
    virtual ~ApplicationDelegate() = default;
    virtual void applicationDidFinishLaunching() {}
    virtual TerminateReply applicationShouldTerminate() { return TerminateReply::terminateNow; }
    virtual void applicationWillTerminate() {}
};

class Application {
public:
    // The process's application object.
    static Application& shared();
    Application();
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // Held until the application ends.
    void setDelegate(std::shared_ptr<ApplicationDelegate> delegate);

    // Main thread. Tells the delegate that launching finished (as main-queue work, ahead of the
    // work queued before), then watches SIGINT and SIGTERM, and turns the main loop until the
    // application terminates (after applicationWillTerminate).
    // Returns the exit status: 0.
    int run();

    // Asks to quit. While an earlier request waits for its later reply, another is ignored, except a
    // quit event with a reason, which the delegate is asked about again.
    void terminate();
    // The answer to a terminate-later: true terminates now, false stays running.
    void replyToApplicationShouldTerminate(bool shouldTerminate);

    // The quit event being handled; nothing outside applicationShouldTerminate() or for a quit
    // asked by code. Main queue.
    std::optional<QuitEvent> currentEvent() const;
    // True once the application has terminated (run() returns or has returned).
    bool hasTerminated() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace platform
