#include "platform/ne/IoLoop.hpp"

#include <unistd.h>

#include <algorithm>
#include <asio/post.hpp>
#include <iterator>

#include "platform/ne/LoopHeartbeat.hpp"

namespace platform::ne {

asio::execution_context::id IoLoop::id;

void postToLoop(IoLoop& loop, IoLoop::Task task) { loop.post(std::move(task)); }

IoLoop::IoLoop(asio::execution_context& context)
    : asio::execution_context::service(context),
      io_(static_cast<asio::io_context&>(context)),
      asioTimer_(io_) {}

IoLoop::~IoLoop() = default;

IoLoop& IoLoop::of(const Queue& queue) {
    if (const auto* executor = targetOf<LoopExecutor>(queue)) return executor->loop();
    return serviceOf<IoLoop>(queue);
}

Queue IoLoop::queue() { return LoopExecutor(*this, io_); }

void IoLoop::post(Task task) {
    if (shutDown_.load(std::memory_order_acquire)) return;  // dropped with the loop
    if (!driven_.load()) {
        asio::post(io_, std::move(task));
        // Counted after it is in Asio's queue, so that a loop that took the thread
        // meanwhile and sees the count runs it; woken in case it waits already.
        asioPosts_.fetch_add(1);
        if (driven_.load()) wake();
        return;
    }
    if (owner_.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
        local_.push_back(std::move(task));
        return;
    }
    bool signal = false;
    {
        std::lock_guard lock(remoteMutex_);
        remote_.push_back(std::move(task));
        signal = !wakeSignalled_.exchange(true, std::memory_order_acq_rel);
    }
    if (signal) wake();
}

void IoLoop::wake() {
    if (!(wakeFd_.get() >= 0)) return;
    const std::uint64_t one = 1;
    // A full counter (2^64 - 2 wake-ups unread) cannot happen; the wake-up is there already then.
    [[maybe_unused]] const auto written = ::write(wakeFd_.get(), &one, sizeof one);
}

bool IoLoop::prepareWake() {
    if (wakeFd_.get() < 0) wakeFd_ = FileDescriptor(::eventfd(0, EFD_CLOEXEC));
    return wakeFd_.get() >= 0;
}

bool IoLoop::drive() {
    if (driven_.load(std::memory_order_relaxed)) return true;
    auto* ring = UringLoop::of(io_);
    if (!ring) return false;
    claim();
    ring_ = ring;
    ring_->drive();
    // From now on the wait computes the timers' deadline itself.
    asioTimerAt_.reset();
    asioTimer_.cancel();
    driven_.store(true);
    // The ring's, with the counter it reads into; this loop outlives the ring.
    auto read = std::make_unique<WakeRead>();
    read->loop = this;
    read->complete = &IoLoop::wakeReadDone;
    wakeRead_ = read.get();
    wakeSlot_ = ring_->hold(std::move(read), true);
    armWakeRead();
    return true;
}

void IoLoop::armWakeRead() {
    if (wakeRead_->armed || ring_->stopping()) return;
    wakeRead_->armed = true;
    io_uring_prep_read(ring_->entry(wakeSlot_), wakeFd_.get(), &wakeRead_->value, sizeof wakeRead_->value, 0);
}

void IoLoop::wakeReadDone(UringOperation& operation, const io_uring_cqe& /*cqe*/) {
    auto& read = static_cast<WakeRead&>(operation);
    read.armed = false;
    // What was posted is taken at the next turn's start, whatever the read brought.
    read.loop->armWakeRead();
}

void IoLoop::run(LoopHeartbeat& heartbeat) {
    claim();
    if (!drive()) {
        runWithHeartbeat(io_, heartbeat);
        return;
    }
    heartbeat.waiting(false);
    while (!stopAsked_.load()) {
        heartbeat.turnStarted();
        turn();
        if (stopAsked_.load()) break;
        const auto limit = waitLimit(std::nullopt);
        heartbeat.waiting(true);
        ring_->wait(limit);
        heartbeat.waiting(false);
    }
}

bool IoLoop::runFor(std::chrono::nanoseconds most) {
    claim();
    if (!drive()) {
        io_.restart();
        return io_.run_one_for(most) > 0;
    }
    hybrid_ = true;
    std::size_t ran = 0;
    {
        const UringLoop::Turn inTurn(*ring_);
        ++turns_;
        io_.restart();
        ran += io_.poll();
        ran += runPosts();
        ran += runTimers();
        const auto completions = ring_->counters().completions;
        ring_->reap();
        ran += ring_->counters().completions - completions;
    }
    // Asio's own sockets are looked at again soon: the ring does not see them.
    const auto cap = ran > 0 ? std::chrono::nanoseconds::zero()
                             : std::min<std::chrono::nanoseconds>(most, std::chrono::milliseconds(1));
    ring_->wait(waitLimit(cap));
    return ran > 0;
}

void IoLoop::stop() {
    stopAsked_.store(true);
    io_.stop();
    if (driven_.load()) wake();
}

void IoLoop::turn() {
    const UringLoop::Turn inTurn(*ring_);
    ++turns_;
    if (hybrid_ || asioPosts_.load() != asioSeen_) {
        // What reached Asio before the loop took the thread, or from someone who
        // posted to the io_context itself.
        asioSeen_ = asioPosts_.load();
        io_.restart();
        io_.poll();
    }
    runPosts();
    runTimers();
    ring_->reap();
}

std::size_t IoLoop::runPosts() {
    // Nothing from other threads unless signalled: no lock for the turns that have none.
    if (wakeSignalled_.load(std::memory_order_acquire)) {
        std::lock_guard lock(remoteMutex_);
        wakeSignalled_.store(false, std::memory_order_relaxed);
        if (!remote_.empty()) {
            std::move(remote_.begin(), remote_.end(), std::back_inserter(local_));
            remote_.clear();
        }
    }
    // Only what was posted before: work that posts more runs it next turn, after the
    // completions and timers.
    running_.swap(local_);
    const std::size_t count = running_.size();
    for (auto& task : running_) task();
    running_.clear();
    return count;
}

std::size_t IoLoop::runTimers() {
    if (timers_.empty()) return 0;
    const auto now = Clock::now();
    // Those due now, once each: a timer that re-arms for now fires next turn.
    std::size_t fired = 0;
    for (std::size_t left = timers_.size(); left > 0 && !timers_.empty(); --left) {
        const auto first = timers_.begin();
        if (first->first > now) break;
        Timer* timer = first->second;
        timers_.erase(first);
        timer->armed_ = false;
        ++fired;
        timer->fire_();
    }
    if (!driven_.load(std::memory_order_relaxed)) timersChanged();
    return fired;
}

std::optional<std::chrono::nanoseconds> IoLoop::waitLimit(
    std::optional<std::chrono::nanoseconds> most) const {
    // Posted from another thread after this turn took what was there: its wake-up may
    // have been read already, by this turn's reap.
    if (!local_.empty() || ring_->hasWork() || asioPosts_.load() != asioSeen_ ||
        wakeSignalled_.load(std::memory_order_acquire))
        return std::chrono::nanoseconds::zero();
    std::optional<std::chrono::nanoseconds> limit = most;
    if (!timers_.empty()) {
        const auto left = std::max(timers_.begin()->first - Clock::now(), Clock::duration::zero());
        const auto toTimer = std::chrono::duration_cast<std::chrono::nanoseconds>(left) +
                             std::chrono::nanoseconds(left.count() > 0 ? 1000 : 0);
        limit = limit ? std::min(*limit, toTimer) : toTimer;
    }
    return limit;
}

void IoLoop::timersChanged() {
    if (driven_.load(std::memory_order_relaxed) || shutDown_.load(std::memory_order_relaxed)) return;
    if (timers_.empty()) return;  // a wake-up for none finds nothing due, and stops
    const auto first = timers_.begin()->first;
    if (asioTimerAt_ && *asioTimerAt_ <= first) return;
    asioTimerAt_ = first;
    armAsioTimer();
}

void IoLoop::armAsioTimer() {
    asioTimer_.expires_at(*asioTimerAt_);  // ends an earlier wait, whose handler then does nothing
    asioTimer_.async_wait([this](const asio::error_code& ec) {
        if (ec == asio::error::operation_aborted || driven_.load(std::memory_order_relaxed)) return;
        asioTimerAt_.reset();
        runTimers();
    });
}

void IoLoop::shutdown() {
    shutDown_.store(true, std::memory_order_release);
    asioTimer_.cancel();
    for (auto& [when, timer] : timers_) timer->armed_ = false;
    timers_.clear();
    // Destroying work may post more (dropped now) or let go of owners whose end
    // touches the lists: emptied until empty.
    for (;;) {
        std::vector<Task> drop;
        {
            std::lock_guard lock(remoteMutex_);
            drop.swap(remote_);
        }
        std::move(local_.begin(), local_.end(), std::back_inserter(drop));
        local_.clear();
        if (drop.empty()) break;
    }
}

bool IoLoop::runningHere() const {
    if (driven_.load(std::memory_order_relaxed))
        return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
    return io_.get_executor().running_in_this_thread();
}

void IoLoop::Timer::at(Clock::time_point when) {
    if (!loop_->runningHere()) {
        loop_->post([this, when] { at(when); });
        return;
    }
    if (loop_->shutDown_.load(std::memory_order_relaxed)) return;
    if (armed_) loop_->timers_.erase(place_);
    place_ = loop_->timers_.emplace(when, this);
    armed_ = true;
    loop_->timersChanged();
}

void IoLoop::Timer::cancel() {
    if (!loop_->runningHere()) {
        loop_->post([this] { cancel(); });
        return;
    }
    unlink();
}

void IoLoop::Timer::unlink() {
    if (!armed_) return;
    loop_->timers_.erase(place_);
    armed_ = false;
}

}  // namespace platform::ne
