#pragma once
// One registration of the service registry: the type it stands for, its factory and its lifetime.
#include <functional>
#include <memory>
#include <type_traits>
#include <typeindex>
#include <utility>

namespace kiv {

class Dependencies;

struct Service {
    enum class LifeCycle {
        global,  // made on first resolution, then shared
        oneOf,   // made anew on every resolution
    };
    using Factory = std::function<std::shared_ptr<void>(Dependencies&)>;

    LifeCycle cycle;
    std::type_index name;            // the registered type; the registry's key
    Factory resolve;                 // makes the service
    std::shared_ptr<void> instance;  // what the factory made last; empty until then

    // `factory` takes the registry or nothing, and returns a std::shared_ptr<T> or a T.
    template <class T, class F>
    static Service make(LifeCycle cycle, F factory) {
        return Service{cycle, std::type_index(typeid(T)),
                       [factory = std::move(factory)](Dependencies& registry) -> std::shared_ptr<void> {
                           return box<T>(call(factory, registry));
                       },
                       nullptr};
    }

private:
    template <class F>
    static decltype(auto) call(F& factory, Dependencies& registry) {
        if constexpr (std::is_invocable_v<F&, Dependencies&>) {
            return factory(registry);
        } else {
            return factory();
        }
    }
    template <class T, class R>
    static std::shared_ptr<void> box(R&& made) {
        if constexpr (std::is_convertible_v<R, std::shared_ptr<T>>) {
            return std::shared_ptr<T>(std::forward<R>(made));
        } else {
            return std::make_shared<T>(std::forward<R>(made));
        }
    }
};

}  // namespace kiv
