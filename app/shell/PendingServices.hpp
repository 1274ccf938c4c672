#pragma once
// Start-up's collaborators whose real forms come with the file watchers, the change observer and
// the certificate installation. Each keeps the name and the calls that start-up and quit make, and
// does nothing else yet, so that both start-up roads and the quit sequence run whole.
//
// Threads: main thread.
#include <memory>

#include "app/core/Service.hpp"
#include "platform/http/URL.hpp"

namespace kiv {

// The handler of every change event.
class ChangeObserver {
public:
    // Arms the first poll and subscribes to the change events.
    void start();
    // Cancels every event subscription; the poll is not stopped.
    void cancelSubscriptions();
    bool isStarted() const { return started_; }

private:
    bool started_ = false;
};

Service changeObserverService();

}  // namespace kiv
