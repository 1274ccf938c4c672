#pragma once
// An in-process notification centre: observers register for a name and a queue; post() hands
// every observer of that name the notification, synchronously on the posting thread (no queue)
// or asynchronously on the observer's queue. Observers of one name are called in the order they
// were added; observers added while a post is under way miss that post.
//
// Threads: addObserver, post and Observation::cancel may be called from any thread, also from
// inside an observer's block (a block may post, add observers, or cancel itself or others). No
// lock is held while a block runs. An observer stays registered while its Observation lives:
// destroying the Observation cancels it. After cancel() returns no new delivery to it starts; a
// delivery another thread had already begun may still be finishing, so a block that captures
// its owner is cancelled on the thread or queue it is delivered on. The block is released once
// the last delivery in progress ends.
#include <any>
#include <functional>
#include <memory>
#include <string>

#include "platform/Dispatch.hpp"

namespace platform {

struct Notification {
    std::string name;
    std::any object;  // empty: the notification carries no object
};

using NotificationBlock = std::function<void(const Notification&)>;

class Observation {
public:
    Observation() = default;  // observes nothing
    Observation(Observation&& other) noexcept = default;
    Observation& operator=(Observation&& other) noexcept;
    Observation(const Observation&) = delete;
    Observation& operator=(const Observation&) = delete;
    ~Observation();

    // Removes the observer; does nothing when already cancelled or empty.
    void cancel();
    bool isActive() const { return observer_ != nullptr; }

private:
    friend class NotificationCenter;
    struct Observer;
    struct Registry;

    Observation(std::weak_ptr<Registry> registry, std::shared_ptr<Observer> observer);

    std::weak_ptr<Registry> registry_;
    std::shared_ptr<Observer> observer_;
};

class NotificationCenter {
public:
    NotificationCenter();
    ~NotificationCenter();
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    // The process's centre; never destroyed.
    static NotificationCenter& defaultCenter();

    // `queue` null: the block runs on the posting thread, inside post(). Observations may
    // outlive the centre; they then cancel nothing.
    [[nodiscard]] Observation addObserver(std::string name, DispatchQueuePtr queue, NotificationBlock block);
    void post(std::string name, std::any object = {});

private:
    std::shared_ptr<Observation::Registry> registry_;
};

}  // namespace platform
