#pragma once
// The application's service registry: services are found by type, each made by its factory on
// first resolution (`global`) or on every resolution (`oneOf`). Dependencies::root() is the
// process-wide registry that Injected members resolve from.
//
// Threads: resolve() may be called from any thread; a `global` service is made once even when
// several threads ask for it first at the same time (the others wait for it). No lock of the
// registry is held while a factory runs, so a factory may resolve other services. Registrations
// are fixed at construction. Resolving a type that nobody registered stops the process.
#include <memory>
#include <mutex>
#include <string>
#include <typeindex>
#include <unordered_map>
#include <vector>

#include "app/core/Service.hpp"

namespace kiv {

class Dependencies {
public:
    Dependencies() = default;
    // Registers in order; a later record for the same type replaces an earlier one.
    explicit Dependencies(std::vector<Service> services);
    explicit Dependencies(Service service);
    Dependencies(const Dependencies&) = delete;
    Dependencies& operator=(const Dependencies&) = delete;

    template <class T>
    std::shared_ptr<T> resolve() {
        return std::static_pointer_cast<T>(resolveErased(std::type_index(typeid(T))));
    }

    // The process-wide registry: empty until setRoot() replaces it.
    static std::shared_ptr<Dependencies> root();
    static void setRoot(std::shared_ptr<Dependencies> registry);

private:
    struct Entry {
        explicit Entry(Service s) : service(std::move(s)) {}
        Service service;
        std::once_flag made;  // `global`: the one construction
        std::mutex mutex;     // guards service.instance
    };

    std::shared_ptr<void> resolveErased(std::type_index type);

    std::unordered_map<std::type_index, std::unique_ptr<Entry>> factories_;
};

// A readable name of a type, for messages.
std::string typeDisplayName(const std::type_index& type);

}  // namespace kiv
