#pragma once
// The one way the application posts change events: each publish hands the post to the main
// queue and returns at once, so observers never run inside the publisher's caller. Posts made
// from one thread reach the main queue, and so the centre, in the order they were made.
//
// A small value: copies post to the same centre, which must outlive the posts already handed
// to the main queue (the default centre lives for the whole process). Any thread.
#include <any>

#include "app/core/ChangeType.hpp"
#include "app/core/Service.hpp"
#include "platform/NotificationCenter.hpp"

namespace kiv {

class NotificationPublisher {
public:
    explicit NotificationPublisher(
        platform::NotificationCenter* center = &platform::NotificationCenter::defaultCenter())
        : nCenter_(center) {}

    // Posts the notification named rawValue(type), with no object.
    void publish(ChangeType type) const;
    // Posts the notification named rawValue(type) carrying `object`.
    void publish(ChangeType type, std::any object) const;

    platform::NotificationCenter* notificationCenter() const { return nCenter_; }

private:
    platform::NotificationCenter* nCenter_;
};

// The registry's record: lifetime `global`, one publisher on the process's default centre.
Service notificationPublisherService();

}  // namespace kiv
