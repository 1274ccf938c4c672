#pragma once
// The reply deadlines of the upstream connections of one io_context, on one timer.
// Every query has a deadline and nearly every one is met, so a timer of its own per
// query would be armed and cancelled (two timer-queue updates, each under the
// reactor's lock, and often a timerfd update) for nothing. Here a deadline is a
// link in a list kept in order of expiry; arming and cancelling are list
// operations, and the one timer wakes only for the earliest deadline, or a little
// after it: deadlines may pass up to 1/16 of their length late.
//
// Threads: any thread may arm and cancel; a waiter's expiry is posted to its own
// queue. A waiter cancels its deadline before it dies. The timer is one of the io
// thread's loop (IoLoop::Timer).
#include <asio/execution_context.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/ne/IoLoop.hpp"
#include "platform/ne/Queue.hpp"

namespace dnsproxy {

class ReplyDeadlines final : public asio::execution_context::service {
public:
    using Clock = std::chrono::steady_clock;

    class Waiter {
    public:
        Waiter() = default;
        Waiter(const Waiter&) = delete;
        Waiter& operator=(const Waiter&) = delete;

    protected:
        ~Waiter() = default;  // the derived class cancels first, while it is whole
        // Under the service's lock, once the deadline has passed: must only hand
        // `owner` on to work posted to the waiter's own queue.
        virtual void deadlineExpired(std::shared_ptr<void> owner) = 0;

    private:
        friend class ReplyDeadlines;
        Waiter* prev_ = nullptr;
        Waiter* next_ = nullptr;
        bool linked_ = false;
        Clock::time_point when_{};
        std::shared_ptr<void> owner_;  // what a pending deadline keeps alive
    };

    using key_type = ReplyDeadlines;
    static asio::execution_context::id id;

    explicit ReplyDeadlines(asio::execution_context& context);
    ~ReplyDeadlines() override;

    // The service of the io_context behind `queue`.
    static ReplyDeadlines& of(const platform::ne::Queue& queue);

    // (Re)arms `waiter` to expire at `when` (`length` from now), keeping `owner`
    // alive until it expires or is cancelled.
    void arm(Waiter& waiter, Clock::time_point when, Clock::duration length, std::shared_ptr<void> owner);
    void cancel(Waiter& waiter);
    // When `waiter` expires; nullopt when it is not armed.
    std::optional<Clock::time_point> expiry(const Waiter& waiter) const;
    // Armed deadlines (tests).
    std::size_t size() const;

private:
    void shutdown() override;
    void unlinkLocked(Waiter& waiter);
    void scheduleLocked(Clock::time_point at);
    void onTimer();

    mutable std::mutex mutex_;
    Waiter* head_ = nullptr;  // earliest first
    Waiter* tail_ = nullptr;
    std::size_t size_ = 0;
    Clock::duration slack_ = Clock::duration::max();
    platform::ne::IoLoop::Timer timer_;  // on the io thread's list
    bool timerWaiting_ = false;
    Clock::time_point timerAt_{};
    bool shutDown_ = false;
};

}  // namespace dnsproxy
