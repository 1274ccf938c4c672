#pragma once
// A value that can be reached only while its mutex is held:
//   MutexGuarded<State> state;  state.lock()->member = 1;
#include <mutex>

namespace platform {

template <typename T>
class MutexGuarded {
public:
    class Locked {
    public:
        explicit Locked(MutexGuarded& owner) : lock_(owner.mutex_), value_(&owner.value_) {}
        T* operator->() { return value_; }
        T& operator*() { return *value_; }

    private:
        std::unique_lock<std::mutex> lock_;
        T* value_;
    };

    MutexGuarded() = default;
    explicit MutexGuarded(T value) : value_(std::move(value)) {}

    Locked lock() { return Locked(*this); }

private:
    std::mutex mutex_;
    T value_;
};

}  // namespace platform
