#pragma once
// A process-wide object that is built on first use and never destroyed, so that
// threads still running while the process exits (detached queue workers, the timer
// thread) never touch an object whose destructor has already run.
//
// Use only as a function-local static: `static NoDestructor<T> x{args...};`.
// What the object owns stays reachable from static storage, so leak checkers do not
// report it.
#include <memory>
#include <new>
#include <utility>

namespace platform {

template <typename T>
class NoDestructor {
public:
    template <typename... Args>
    explicit NoDestructor(Args&&... args) {
        // Placement new rather than std::construct_at: a type may keep its constructor private and
        // befriend NoDestructor, so that only its process-wide instance exists.
        ::new (static_cast<void*>(storage_)) T(std::forward<Args>(args)...);
    }
    NoDestructor(const NoDestructor&) = delete;
    NoDestructor& operator=(const NoDestructor&) = delete;
    ~NoDestructor() = default;  // deliberately leaves the object alive

    T& operator*() { return *pointer(); }
    T* operator->() { return pointer(); }
    T* get() { return pointer(); }

private:
    T* pointer() { return std::launder(reinterpret_cast<T*>(storage_)); }

    alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace platform
