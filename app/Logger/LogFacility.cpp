#include "app/Logger/LogFacility.hpp"

#include <algorithm>
#include <mutex>
#include <vector>

#include "platform/Dispatch.hpp"

namespace kiv {
namespace {

// The attached destinations, in attach order; membership is by object.
struct DestinationSet {
    std::mutex mutex;
    std::vector<BaseDestinationPtr> members;
};

DestinationSet& destinations() {
    static DestinationSet set;
    return set;
}

std::vector<BaseDestinationPtr> snapshot() {
    DestinationSet& set = destinations();
    std::lock_guard lock(set.mutex);
    return set.members;
}

bool filtersOnMessage(const BaseDestination& destination) {
    return std::any_of(destination.filters().begin(), destination.filters().end(),
                       [](const FilterPtr& f) { return f->target().kind == TargetType::Kind::Message; });
}

}  // namespace

bool LogFacility::attach(BaseDestinationPtr destination) {
    if (!destination) return false;
    DestinationSet& set = destinations();
    std::lock_guard lock(set.mutex);
    if (std::find(set.members.begin(), set.members.end(), destination) != set.members.end()) return false;
    set.members.push_back(std::move(destination));
    return true;
}

bool LogFacility::detach(const BaseDestinationPtr& destination) {
    DestinationSet& set = destinations();
    std::lock_guard lock(set.mutex);
    auto found = std::find(set.members.begin(), set.members.end(), destination);
    if (found == set.members.end()) return false;
    set.members.erase(found);
    return true;
}

void LogFacility::detachAll() {
    std::vector<BaseDestinationPtr> released;
    {
        DestinationSet& set = destinations();
        std::lock_guard lock(set.mutex);
        released.swap(set.members);
    }
    // Destinations are released outside the lock; their destructors may take time.
}

void LogFacility::waitForPendingLines() {
    std::vector<BaseDestinationPtr> members;
    {
        DestinationSet& set = destinations();
        std::lock_guard lock(set.mutex);
        members = set.members;
    }
    for (const BaseDestinationPtr& destination : members) {
        if (destination->queue) destination->queue->sync([] {});
    }
}

int LogFacility::countDestinations() {
    DestinationSet& set = destinations();
    std::lock_guard lock(set.mutex);
    return static_cast<int>(set.members.size());
}

std::string LogFacility::currentThreadLabel() {
    if (platform::isMainThread()) return "";
    return platform::currentQueueLabel();
}

std::string LogFacility::shortFunctionName(const std::string& function) {
    return function.substr(0, function.find('(')) + "()";
}

void LogFacility::log(Level level, const Message& message, const std::string& file,
                      const std::string& function, int line, const std::optional<LogContext>& context) {
    const std::string thread = currentThreadLabel();
    deliver(level, message, thread, file, function, line, context);
}

void LogFacility::deliver(Level level, const Message& message, const std::string& thread,
                          const std::string& file, const std::string& function, int line,
                          const std::optional<LogContext>& context) {
    std::optional<std::string> resolved;
    const auto resolve = [&] {
        if (!resolved) resolved = message ? message() : std::string();
    };
    for (const BaseDestinationPtr& destination : snapshot()) {
        if (!destination->queue) continue;
        if (filtersOnMessage(*destination)) resolve();
        if (!destination->accepts(level, file, function, resolved)) continue;
        resolve();
        platform::Task task = [destination, level, text = *resolved, thread, file,
                               function = shortFunctionName(function), line, context] {
            try {
                destination->send(level, text, thread, file, function, line, context);
            } catch (...) {
                // A destination that fails loses its line; logging goes on and the queue survives.
            }
        };
        if (destination->isAsynchronous()) {
            destination->queue->async(std::move(task));
        } else {
            // Runs inline when called from the destination's own queue (the queue sees to it).
            destination->queue->sync(std::move(task));
        }
    }
}

}  // namespace kiv
