#include "app/netext/NetworkCheck.hpp"

#include <utility>

#include "platform/net/NetworkSnapshot.hpp"

namespace kiv {

struct NetworkCheck::State {
    Injected<NotificationPublisher> notificationPublisher;
    ChangeType lastStatus = ChangeType::disconnected;  // main queue only

    // On the main queue.
    void apply(const platform::NWPath& path) {
        if (path.status == platform::NWPath::Status::satisfied) {
            // Every satisfied update is told, not only the change: listeners re-check then.
            lastStatus = ChangeType::connected;
            notificationPublisher->publish(ChangeType::connected, path);
            return;
        }
        if (lastStatus == ChangeType::disconnected) return;
        lastStatus = ChangeType::disconnected;
        notificationPublisher->publish(ChangeType::disconnected, path);
    }
};

NetworkCheck::NetworkCheck()
    : NetworkCheck(platform::makeNWPathMonitor(), Injected<NotificationPublisher>()) {}

NetworkCheck::NetworkCheck(platform::NWPathMonitorPtr monitor, Injected<NotificationPublisher> publisher)
    : monitor_(std::move(monitor)), state_(std::make_shared<State>()) {
    state_->notificationPublisher = std::move(publisher);
    std::weak_ptr<State> weak = state_;
    monitor_->setPathUpdateHandler([weak](const platform::NWPath& path) {
        if (weak.expired()) return;
        platform::mainQueue()->async([weak, path] {
            if (auto state = weak.lock()) state->apply(path);
        });
    });
    // A serial queue of its own: updates reach the main queue in the order they were read.
    monitor_->start(platform::makeSerialQueue("NetworkCheck.queue"));
}

NetworkCheck::~NetworkCheck() { monitor_->cancel(); }

bool NetworkCheck::isSatisfied() const {
    return monitor_->currentPath().status == platform::NWPath::Status::satisfied;
}

ChangeType NetworkCheck::lastStatus() const { return state_->lastStatus; }

std::optional<std::string> NetworkCheck::primaryIPv4Address() const { return platform::primaryIPv4Address(); }

Service networkCheckService() {
    return Service::make<NetworkCheck>(Service::LifeCycle::global,
                                       [] { return std::make_shared<NetworkCheck>(); });
}

}  // namespace kiv
