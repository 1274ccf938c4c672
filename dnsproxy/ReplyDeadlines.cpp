#include "dnsproxy/ReplyDeadlines.hpp"

#include <asio/execution/context.hpp>
#include <asio/query.hpp>
#include <vector>

namespace dnsproxy {

asio::execution_context::id ReplyDeadlines::id;

ReplyDeadlines::ReplyDeadlines(asio::execution_context& context)
    : asio::execution_context::service(context),
      timer_(asio::use_service<platform::ne::IoLoop>(context), [this] { onTimer(); }) {}

ReplyDeadlines::~ReplyDeadlines() = default;

ReplyDeadlines& ReplyDeadlines::of(const platform::ne::Queue& queue) {
    return platform::ne::serviceOf<ReplyDeadlines>(queue);
}

void ReplyDeadlines::unlinkLocked(Waiter& waiter) {
    if (!waiter.linked_) return;
    (waiter.prev_ ? waiter.prev_->next_ : head_) = waiter.next_;
    (waiter.next_ ? waiter.next_->prev_ : tail_) = waiter.prev_;
    waiter.prev_ = waiter.next_ = nullptr;
    waiter.linked_ = false;
    --size_;
}

void ReplyDeadlines::arm(Waiter& waiter, Clock::time_point when, Clock::duration length,
                         std::shared_ptr<void> owner) {
    std::shared_ptr<void> previous;
    {
        std::lock_guard lock(mutex_);
        if (shutDown_) return;
        unlinkLocked(waiter);
        previous = std::move(waiter.owner_);
        waiter.owner_ = std::move(owner);
        waiter.when_ = when;
        // Deadlines of one length arrive in order: the place is almost always the end.
        Waiter* after = tail_;
        while (after && after->when_ > when) after = after->prev_;
        waiter.prev_ = after;
        waiter.next_ = after ? after->next_ : head_;
        (waiter.next_ ? waiter.next_->prev_ : tail_) = &waiter;
        (after ? after->next_ : head_) = &waiter;
        waiter.linked_ = true;
        ++size_;
        slack_ = std::min(slack_, length / 16);
        scheduleLocked(head_->when_);
    }
    // Dropped outside the lock: it may be the last hold on a waiter, whose end cancels.
}

void ReplyDeadlines::cancel(Waiter& waiter) {
    std::shared_ptr<void> owner;
    {
        std::lock_guard lock(mutex_);
        unlinkLocked(waiter);
        owner = std::move(waiter.owner_);
    }
}

std::optional<ReplyDeadlines::Clock::time_point> ReplyDeadlines::expiry(const Waiter& waiter) const {
    std::lock_guard lock(mutex_);
    if (!waiter.linked_) return std::nullopt;
    return waiter.when_;
}

std::size_t ReplyDeadlines::size() const {
    std::lock_guard lock(mutex_);
    return size_;
}

void ReplyDeadlines::scheduleLocked(Clock::time_point at) {
    // A wait that ends early enough stays: re-arming the timer is what this saves.
    if (timerWaiting_ && timerAt_ <= at + slack_) return;
    timerWaiting_ = true;
    timerAt_ = at;
    timer_.at(at);  // in place of an earlier one
}

void ReplyDeadlines::onTimer() {
    std::lock_guard lock(mutex_);
    if (shutDown_) return;
    timerWaiting_ = false;
    const auto now = Clock::now();
    while (head_ && head_->when_ <= now) {
        Waiter& expired = *head_;
        unlinkLocked(expired);
        // Its owner travels with the posted work, so it is not let go under the lock.
        expired.deadlineExpired(std::move(expired.owner_));
    }
    if (head_) {
        const auto next = head_->when_ + slack_;
        scheduleLocked(next > now ? next : now);
    }
}

void ReplyDeadlines::shutdown() {
    std::vector<std::shared_ptr<void>> owners;
    {
        std::lock_guard lock(mutex_);
        shutDown_ = true;
        while (head_) {
            Waiter& waiter = *head_;
            unlinkLocked(waiter);
            owners.push_back(std::move(waiter.owner_));
        }
    }
    // Dropped outside the lock: the waiters they hold cancel as they go.
}

}  // namespace dnsproxy
