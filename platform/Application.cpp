#include "platform/Application.hpp"

#include <csignal>
#include <exception>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/Dispatch.hpp"
#include "platform/MainQueue.hpp"
#include "platform/NoDestructor.hpp"
#include "platform/SignalSource.hpp"
#include "platform/SystemLog.hpp"

namespace platform {

struct Application::State {
    std::mutex mutex;
    std::shared_ptr<ApplicationDelegate> delegate;  // guarded by mutex
    bool terminated = false;                        // guarded by mutex
    // Main queue only:
    std::optional<QuitEvent> currentEvent;
    bool replyPending = false;

    std::shared_ptr<ApplicationDelegate> currentDelegate() {
        std::lock_guard lock(mutex);
        return delegate;
    }
    bool hasTerminated() {
        std::lock_guard lock(mutex);
        return terminated;
    }

    void handleTerminate(std::optional<QuitEvent> event) {
        if (hasTerminated()) return;
        // While a quit waits for its reply, only a quit event with a reason (a logout, restart or
        // shutdown) is asked again: the system must not wait behind a user's quit.
        if (replyPending && !(event && event->reason)) return;
        replyPending = false;
        TerminateReply reply = TerminateReply::terminateNow;
        if (auto current = currentDelegate()) {
            currentEvent = std::move(event);
            reply = current->applicationShouldTerminate();
            currentEvent.reset();
        }
        switch (reply) {
            case TerminateReply::terminateNow:
                finish();
                break;
            case TerminateReply::terminateLater:
                replyPending = true;
                break;
            case TerminateReply::terminateCancel:
                break;
        }
    }

    void reply(bool shouldTerminate) {
        if (!replyPending || hasTerminated()) return;
        replyPending = false;
        if (shouldTerminate) finish();
    }

    void finish() {
        if (hasTerminated()) return;
        if (auto current = currentDelegate()) current->applicationWillTerminate();
        {
            std::lock_guard lock(mutex);
            terminated = true;
        }
        stopMainLoop();
    }
};

Application& Application::shared() {
    // Never destroyed: completions on other threads may still reach it while the process exits.
    static NoDestructor<Application> application;
    return *application;
}

Application::Application() : state_(std::make_shared<State>()) {}
Application::~Application() = default;

void Application::setDelegate(std::shared_ptr<ApplicationDelegate> delegate) {
    std::lock_guard lock(state_->mutex);
    state_->delegate = std::move(delegate);
}

int Application::run() {
    // Queued work holds the state, not the application object, so that it stays safe to run.
    std::shared_ptr<State> state = state_;
    // Launching finishes first, ahead of main-queue work queued before run(), as the desktop's
    // application object finishes launching before its run loop turns: what the delegate's
    // members post from their creation on (a path monitor's first path, say) reaches a delegate
    // that has started and subscribed.
    dispatch::MainQueue::instance()->runAhead([&state] {
        if (auto delegate = state->currentDelegate(); delegate && !state->hasTerminated()) {
            delegate->applicationDidFinishLaunching();
        }
    });
    if (state->hasTerminated()) return 0;
    // Quit requests are read only once launching has finished: the delegate cannot quit before it
    // has started. A signal that came earlier waits, blocked, and is read now. The source lives in
    // this frame and is gone when run() returns; its handler holds the state only weakly.
    std::weak_ptr<State> weak = state;
    std::optional<SignalSource> quitSignals;
    try {
        quitSignals.emplace(std::vector<int>{SIGINT, SIGTERM}, mainQueue(), [weak](const SignalInfo& signal) {
            const auto current = weak.lock();
            if (!current) return;
            QuitEvent event;
            if (signal.signalNumber == SIGTERM) event.reason = kQuitReasonShutDown;
            current->handleTerminate(event);
        });
    } catch (const std::exception& error) {
        SystemLog("kiv", "application").error(std::string("quit signals cannot be read: ") + error.what());
    }
    while (!state->hasTerminated()) runMainLoop();
    return 0;
}

void Application::terminate() {
    mainQueue()->async([state = state_] { state->handleTerminate(std::nullopt); });
}

void Application::replyToApplicationShouldTerminate(bool shouldTerminate) {
    mainQueue()->async([state = state_, shouldTerminate] { state->reply(shouldTerminate); });
}

std::optional<QuitEvent> Application::currentEvent() const { return state_->currentEvent; }

bool Application::hasTerminated() const { return state_->hasTerminated(); }

}  // namespace platform
