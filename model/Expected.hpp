#pragma once
// A value or the error that prevented it: the result type of operations that can fail on
// untrusted input (C++20 has no std::expected). Reading value() of an error, or error() of a
// value, is a programming error and aborts.
#include <cstdio>
#include <cstdlib>
#include <type_traits>
#include <utility>
#include <variant>

namespace model {

template <class E>
struct Unexpected {
    E error;
};

template <class E>
Unexpected<std::decay_t<E>> unexpected(E&& error) {
    return Unexpected<std::decay_t<E>>{std::forward<E>(error)};
}

template <class T, class E>
class Expected {
public:
    Expected(const T& value) : v_(std::in_place_index<0>, value) {}
    Expected(T&& value) : v_(std::in_place_index<0>, std::move(value)) {}
    template <class G>
    requires std::is_constructible_v<E, G> Expected(Unexpected<G> error)
        : v_(std::in_place_index<1>, std::move(error.error)) {}

    bool has_value() const { return v_.index() == 0; }
    explicit operator bool() const { return has_value(); }

    T& value() & { return std::get<0>(check(true)); }
    const T& value() const& { return std::get<0>(check(true)); }
    T&& value() && { return std::get<0>(std::move(check(true))); }
    const E& error() const& { return std::get<1>(check(false)); }
    E& error() & { return std::get<1>(check(false)); }

    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    template <class U>
    T value_or(U&& fallback) const& {
        return has_value() ? std::get<0>(v_) : static_cast<T>(std::forward<U>(fallback));
    }

private:
    std::variant<T, E>& check(bool wantValue) {
        if (has_value() != wantValue) misuse(wantValue);
        return v_;
    }
    const std::variant<T, E>& check(bool wantValue) const {
        if (has_value() != wantValue) misuse(wantValue);
        return v_;
    }
    [[noreturn]] static void misuse(bool wantValue) {
        std::fputs(wantValue ? "Expected: value() read on an error\n" : "Expected: error() read on a value\n",
                   stderr);
        std::abort();
    }

    std::variant<T, E> v_;
};

}  // namespace model
