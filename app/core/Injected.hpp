#pragma once
// A member that finds its service in the registry on first read and keeps it. By default it
// resolves T from Dependencies::root() as the root is at that moment.
//
// Threads: any; concurrent first reads resolve at most once each and all see the same service
// (for a `global` registration). An Injected with no way to resolve stops the process on read.
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

#include "app/core/Dependencies.hpp"
#include "app/core/FatalError.hpp"

namespace kiv {

template <class T>
class Injected {
public:
    using Delayed = std::function<std::shared_ptr<T>()>;

    Injected() : delayed_([] { return Dependencies::root()->template resolve<T>(); }) {}
    explicit Injected(Delayed delayed) : delayed_(std::move(delayed)) {}

    Injected(const Injected& other) {
        std::lock_guard lock(other.mutex_);
        service_ = other.service_;
        delayed_ = other.delayed_;
    }
    // A member is moved from only where nothing else can be reading it (a constructor's
    // parameter): the moves lock no source.
    Injected(Injected&& other) noexcept
        : service_(std::move(other.service_)), delayed_(std::move(other.delayed_)) {}
    Injected& operator=(const Injected& other) {
        if (this == &other) return *this;
        std::scoped_lock lock(mutex_, other.mutex_);
        service_ = other.service_;
        delayed_ = other.delayed_;
        return *this;
    }
    Injected& operator=(Injected&& other) noexcept {
        if (this == &other) return *this;
        std::lock_guard lock(mutex_);
        service_ = std::move(other.service_);
        delayed_ = std::move(other.delayed_);
        return *this;
    }

    // The cached service, resolved on first read.
    std::shared_ptr<T> wrappedValue() const {
        Delayed delayed;
        {
            std::lock_guard lock(mutex_);
            if (service_) return service_;
            delayed = delayed_;
        }
        if (!delayed) fatalError("Fatal error");
        // Resolved without the lock: the factory may read other Injected members.
        std::shared_ptr<T> resolved = delayed();
        std::lock_guard lock(mutex_);
        if (!service_) service_ = std::move(resolved);
        return service_;
    }

    T& operator*() const { return *wrappedValue(); }
    // The pointer stays valid while this member lives (it holds the service).
    T* operator->() const { return wrappedValue().get(); }

private:
    mutable std::mutex mutex_;
    mutable std::shared_ptr<T> service_;
    Delayed delayed_;
};

}  // namespace kiv
