#include "app/core/Dependencies.hpp"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>

#include "app/core/FatalError.hpp"
#include "platform/NoDestructor.hpp"

namespace kiv {
namespace {

struct Root {
    std::mutex mutex;
    std::shared_ptr<Dependencies> registry;
};

Root& rootHolder() {
    // Never destroyed: services may still be in use on other threads while the process exits.
    static platform::NoDestructor<Root> root;
    return *root;
}

// Entries whose `global` service this thread is making right now, to stop a factory that asks
// for its own type (directly or through others) instead of waiting for itself forever.
thread_local std::vector<const void*> makingOnThisThread;

}  // namespace

Dependencies::Dependencies(std::vector<Service> services) {
    for (Service& service : services) {
        const std::type_index key = service.name;
        factories_[key] = std::make_unique<Entry>(std::move(service));
    }
}

Dependencies::Dependencies(Service service) : Dependencies(std::vector<Service>{std::move(service)}) {}

std::shared_ptr<void> Dependencies::resolveErased(std::type_index type) {
    auto found = factories_.find(type);
    if (found == factories_.end()) {
        fatalError("Fatal error: no service registered for " + typeDisplayName(type));
    }
    Entry& entry = *found->second;
    if (entry.service.cycle == Service::LifeCycle::oneOf) {
        std::shared_ptr<void> made = entry.service.resolve(*this);
        std::lock_guard lock(entry.mutex);
        entry.service.instance = made;
        return made;
    }
    if (std::find(makingOnThisThread.begin(), makingOnThisThread.end(), &entry) != makingOnThisThread.end()) {
        fatalError("Fatal error: the service " + typeDisplayName(type) + " depends on itself");
    }
    std::call_once(entry.made, [&] {
        makingOnThisThread.push_back(&entry);
        struct Done {
            ~Done() { makingOnThisThread.pop_back(); }
        } done;
        std::shared_ptr<void> made = entry.service.resolve(*this);
        std::lock_guard lock(entry.mutex);
        entry.service.instance = std::move(made);
    });
    std::lock_guard lock(entry.mutex);
    if (!entry.service.instance) {
        fatalError("Fatal error: the factory of " + typeDisplayName(type) + " made nothing");
    }
    return entry.service.instance;
}

std::shared_ptr<Dependencies> Dependencies::root() {
    Root& root = rootHolder();
    std::lock_guard lock(root.mutex);
    if (!root.registry) root.registry = std::make_shared<Dependencies>();
    return root.registry;
}

void Dependencies::setRoot(std::shared_ptr<Dependencies> registry) {
    std::shared_ptr<Dependencies> previous;
    Root& root = rootHolder();
    std::lock_guard lock(root.mutex);
    previous = std::exchange(root.registry, std::move(registry));
}

std::string typeDisplayName(const std::type_index& type) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> demangled(
        abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
    return status == 0 && demangled ? std::string(demangled.get()) : std::string(type.name());
}

}  // namespace kiv
