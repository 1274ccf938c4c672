#include "platform/Dispatch.hpp"

#include <algorithm>
#include <array>
#include <thread>

#include "platform/DispatchTimer.hpp"
#include "platform/MainQueue.hpp"
#include "platform/NoDestructor.hpp"
#include "platform/WorkerQueue.hpp"

namespace platform {
namespace {

using dispatch::QueueCorePtr;

// What callers hold. The core it refers to lives on while work or timers need it;
// dropping the last handle lets the queued work finish and then ends the threads.
class QueueHandle final : public DispatchQueue {
public:
    explicit QueueHandle(QueueCorePtr core) : core_(std::move(core)) {}
    ~QueueHandle() override { core_->orphan(); }
    QueueHandle(const QueueHandle&) = delete;
    QueueHandle& operator=(const QueueHandle&) = delete;

    const std::string& label() const override { return core_->label(); }
    bool isSerial() const override { return core_->isSerial(); }
    void async(Task task) override { core_->submit(std::move(task), false); }
    void sync(Task task) override { core_->runSync(std::move(task), false); }
    void asyncAfter(std::chrono::nanoseconds delay, Task task) override {
        dispatch::DispatchTimer::instance().schedule(core_, delay, std::move(task));
    }
    void barrierAsync(Task task) override { core_->submit(std::move(task), true); }
    void barrierSync(Task task) override { core_->runSync(std::move(task), true); }

private:
    const QueueCorePtr core_;
};

// Process-wide queues are not bounded by the number of cores: their work blocks on
// replies, and a small pool would let a few waiting items starve the rest.
constexpr unsigned kGlobalQueueWidth = 64;

const char* globalQueueLabel(QoS qos) {
    switch (qos) {
        case QoS::userInteractive:
            return "com.apple.root.user-interactive-qos";
        case QoS::userInitiated:
            return "com.apple.root.user-initiated-qos";
        case QoS::defaultQoS:
            return "com.apple.root.default-qos";
        case QoS::utility:
            return "com.apple.root.utility-qos";
        case QoS::background:
            return "com.apple.root.background-qos";
    }
    return "com.apple.root.default-qos";
}

}  // namespace

DispatchQueuePtr makeSerialQueue(std::string label) {
    return std::make_shared<QueueHandle>(std::make_shared<dispatch::WorkerQueue>(
        std::move(label), 1, /*serial=*/true, /*honorsBarriers=*/false));
}

DispatchQueuePtr makeConcurrentQueue(std::string label, unsigned width) {
    if (width == 0) width = std::max(std::thread::hardware_concurrency(), 1u);
    return std::make_shared<QueueHandle>(std::make_shared<dispatch::WorkerQueue>(
        std::move(label), width, /*serial=*/false, /*honorsBarriers=*/true));
}

DispatchQueuePtr mainQueue() {
    static NoDestructor<DispatchQueuePtr> handle(
        std::make_shared<QueueHandle>(dispatch::MainQueue::instance()));
    return *handle;
}

DispatchQueuePtr globalQueue(QoS qos) {
    static NoDestructor<std::array<DispatchQueuePtr, 5>> queues([] {
        std::array<DispatchQueuePtr, 5> made;
        for (QoS q :
             {QoS::userInteractive, QoS::userInitiated, QoS::defaultQoS, QoS::utility, QoS::background}) {
            made[static_cast<std::size_t>(q)] =
                std::make_shared<QueueHandle>(std::make_shared<dispatch::WorkerQueue>(
                    globalQueueLabel(q), kGlobalQueueWidth, /*serial=*/false, /*honorsBarriers=*/false));
        }
        return made;
    }());
    const auto index = static_cast<std::size_t>(qos);
    return (*queues)[index < queues->size() ? index : static_cast<std::size_t>(QoS::defaultQoS)];
}

std::string currentQueueLabel() {
    const dispatch::QueueCore* queue = dispatch::currentQueue();
    return queue != nullptr ? queue->label() : std::string();
}

}  // namespace platform
