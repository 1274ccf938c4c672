#include "app/netext/Throttle.hpp"

#include <algorithm>
#include <chrono>
#include <utility>

namespace kiv {

Throttle::Throttle(std::vector<int> delays)
    : throttleValues(std::move(delays)),
      throttleValuesSize(static_cast<int>(throttleValues.size())),
      throttleValuesSizeMaxIndex(std::max(0, throttleValuesSize - 1)) {}

int Throttle::nextDelay() const {
    if (throttleValues.empty()) return 0;
    const int index = std::clamp(throttleIndex, 0, throttleValuesSizeMaxIndex);
    return std::max(0, throttleValues[static_cast<std::size_t>(index)]);
}

void Throttle::run(std::function<void()> block, const platform::DispatchQueuePtr& queue) {
    queue->asyncAfter(std::chrono::seconds(nextDelay()), std::move(block));
    throttleIndex = std::min(throttleIndex + 1, throttleValuesSizeMaxIndex);
}

}  // namespace kiv
