#include "platform/ne/LoopHeartbeat.hpp"

#include <systemd/sd-daemon.h>

#include <asio/post.hpp>
#include <utility>

#include "platform/Dispatch.hpp"

namespace platform::ne {

void HeartbeatChecker::watch(const LoopHeartbeat& heartbeat, std::function<void()> wake) {
    loops_.push_back(Watched{&heartbeat, std::move(wake), heartbeat.turns(), false, heartbeat.inWait()});
}

bool HeartbeatChecker::read() {
    dead_.clear();
    for (std::size_t i = 0; i < loops_.size(); ++i) {
        auto& loop = loops_[i];
        const bool inWait = loop.heartbeat->inWait();
        const bool wasWaiting = std::exchange(loop.wasWaiting, inWait);
        const auto turns = loop.heartbeat->turns();
        if (turns != loop.turns) {
            loop.turns = turns;
            loop.woken = false;
            continue;
        }
        // Out of its wait since the last reading, but not counted yet: it is just
        // leaving the wait (between waiting(false) and turnStarted()).
        if (!inWait && wasWaiting) continue;
        if (!inWait) {
            dead_.push_back(i);
            continue;
        }
        if (!loop.wake) continue;
        // Asked at the last reading to turn, and it did not.
        if (loop.woken) {
            dead_.push_back(i);
            continue;
        }
        loop.woken = true;
        loop.wake();
    }
    return dead_.empty();
}

void runWithHeartbeat(asio::io_context& io, LoopHeartbeat& heartbeat) {
    // run_one waits and then runs a handler before it returns: the whole call counts
    // as the wait, and the checker's wake-up finds out whether a handler never returned.
    heartbeat.waiting(true);
    while (io.run_one()) heartbeat.turnStarted();
    heartbeat.waiting(false);
}

std::function<void()> wakeLoop(asio::io_context& io) {
    return [&io] { asio::post(io, [] {}); };
}

std::optional<std::chrono::microseconds> LoopWatchdog::requestedInterval() {
    std::uint64_t usec = 0;
    if (::sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) return std::nullopt;
    return std::chrono::microseconds(usec);
}

struct LoopWatchdog::State {
    HeartbeatChecker checker;
    std::chrono::nanoseconds period;
    Notify notify;
    std::function<void(const std::vector<std::size_t>&)> onDead;
};

LoopWatchdog::LoopWatchdog(HeartbeatChecker checker, std::chrono::nanoseconds interval, Notify notify,
                           std::function<void(const std::vector<std::size_t>&)> onDead)
    : state_(std::make_shared<State>(
          State{std::move(checker), interval / 2, std::move(notify), std::move(onDead)})) {
    if (!state_->notify) state_->notify = [] { ::sd_notify(0, "WATCHDOG=1"); };
    schedule(state_);
}

LoopWatchdog::~LoopWatchdog() = default;

void LoopWatchdog::schedule(const std::shared_ptr<State>& state) {
    std::weak_ptr<State> weak = state;
    mainQueue()->asyncAfter(state->period, [weak] {
        const auto state = weak.lock();
        if (!state) return;
        if (state->checker.read()) {
            state->notify();
        } else if (state->onDead) {
            state->onDead(state->checker.dead());
        }
        schedule(state);
    });
}

}  // namespace platform::ne
