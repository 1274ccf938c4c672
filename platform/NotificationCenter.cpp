#include "platform/NotificationCenter.hpp"

#include <algorithm>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/NoDestructor.hpp"

namespace platform {

// One registration. The block sits behind its own lock so that "still registered?" and "take
// the block" are one step for a delivery, and cancel() can release it at once.
struct Observation::Observer {
    Observer(std::string n, DispatchQueuePtr q, NotificationBlock b)
        : name(std::move(n)), queue(std::move(q)), block(std::make_shared<NotificationBlock>(std::move(b))) {}

    void deliver(const Notification& notification) {
        std::shared_ptr<NotificationBlock> running;
        {
            std::lock_guard lock(mutex);
            running = block;
        }
        if (running) (*running)(notification);
    }

    // The block is destroyed outside the lock: its captures may cancel other observations.
    void cancel() {
        std::shared_ptr<NotificationBlock> released;
        std::lock_guard lock(mutex);
        released.swap(block);
    }

    const std::string name;
    const DispatchQueuePtr queue;
    std::mutex mutex;
    std::shared_ptr<NotificationBlock> block;  // guarded by mutex; null once cancelled
};

struct Observation::Registry {
    std::mutex mutex;
    // Guarded by mutex; each list in the order the observers were added.
    std::unordered_map<std::string, std::vector<std::shared_ptr<Observer>>> byName;
};

Observation::Observation(std::weak_ptr<Registry> registry, std::shared_ptr<Observer> observer)
    : registry_(std::move(registry)), observer_(std::move(observer)) {}

Observation& Observation::operator=(Observation&& other) noexcept {
    if (this != &other) {
        cancel();
        registry_ = std::move(other.registry_);
        observer_ = std::move(other.observer_);
    }
    return *this;
}

Observation::~Observation() { cancel(); }

void Observation::cancel() {
    std::shared_ptr<Observer> observer = std::move(observer_);
    if (!observer) return;
    observer->cancel();
    if (auto registry = registry_.lock()) {
        std::lock_guard lock(registry->mutex);
        auto found = registry->byName.find(observer->name);
        if (found != registry->byName.end()) {
            std::erase(found->second, observer);
            if (found->second.empty()) registry->byName.erase(found);
        }
    }
    registry_.reset();
}

NotificationCenter::NotificationCenter() : registry_(std::make_shared<Observation::Registry>()) {}

NotificationCenter::~NotificationCenter() = default;

NotificationCenter& NotificationCenter::defaultCenter() {
    static NoDestructor<NotificationCenter> center;
    return *center;
}

Observation NotificationCenter::addObserver(std::string name, DispatchQueuePtr queue,
                                            NotificationBlock block) {
    auto observer = std::make_shared<Observation::Observer>(name, std::move(queue), std::move(block));
    {
        std::lock_guard lock(registry_->mutex);
        registry_->byName[std::move(name)].push_back(observer);
    }
    return Observation(registry_, std::move(observer));
}

void NotificationCenter::post(std::string name, std::any object) {
    std::vector<std::shared_ptr<Observation::Observer>> observers;
    {
        std::lock_guard lock(registry_->mutex);
        auto found = registry_->byName.find(name);
        if (found == registry_->byName.end()) return;
        observers = found->second;
    }
    // Shared by the queued deliveries, so the object is copied once however many observe it.
    auto notification =
        std::make_shared<const Notification>(Notification{std::move(name), std::move(object)});
    for (auto& observer : observers) {
        if (observer->queue) {
            auto queue = observer->queue;
            queue->async(
                [observer = std::move(observer), notification] { observer->deliver(*notification); });
        } else {
            observer->deliver(*notification);
        }
    }
}

}  // namespace platform
