#pragma once
// A move-only std::function that keeps its callable in place when it fits in
// `Capacity` bytes: a completion that holds a shared_ptr or two costs no heap block
// (std::function keeps only trivially copyable callables of 16 bytes in place). A
// larger callable goes to the heap, owned. Like std::function it calls through a
// const reference, and an empty one is false.
#include <cstddef>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

namespace platform {

template <typename Signature, std::size_t Capacity = 48>
class InlineFunction;

template <typename R, typename... Args, std::size_t Capacity>
class InlineFunction<R(Args...), Capacity> {
public:
    InlineFunction() noexcept = default;
    InlineFunction(std::nullptr_t) noexcept {}
    // The requires-clause keeps copies and moves of an InlineFunction off this constructor.
    // NOLINTBEGIN(bugprone-forwarding-reference-overload)
    template <typename F, typename D = std::decay_t<F>>
    requires(!std::is_same_v<D, InlineFunction> && std::is_invocable_r_v<R, D&, Args...>)
        InlineFunction(F&& callable) {
        // NOLINTEND(bugprone-forwarding-reference-overload)
        if constexpr (fitsInPlace<D>) {
            ::new (static_cast<void*>(storage_)) D(std::forward<F>(callable));
            ops_ = &kInPlace<D>;
        } else {
            using Owned = std::unique_ptr<D>;
            ::new (static_cast<void*>(storage_)) Owned(std::make_unique<D>(std::forward<F>(callable)));
            ops_ = &kOnHeap<D>;
        }
    }
    InlineFunction(InlineFunction&& other) noexcept { take(other); }
    InlineFunction& operator=(InlineFunction&& other) noexcept {
        if (this != &other) {
            reset();
            take(other);
        }
        return *this;
    }
    InlineFunction& operator=(std::nullptr_t) noexcept {
        reset();
        return *this;
    }
    InlineFunction(const InlineFunction&) = delete;
    InlineFunction& operator=(const InlineFunction&) = delete;
    ~InlineFunction() { reset(); }

    explicit operator bool() const noexcept { return ops_ != nullptr; }
    friend bool operator==(const InlineFunction& function, std::nullptr_t) noexcept { return !function; }

    R operator()(Args... args) const { return ops_->invoke(storage_, std::forward<Args>(args)...); }

private:
    struct Ops {
        R (*invoke)(void* storage, Args&&... args);
        void (*move)(void* to, void* from) noexcept;  // and destroys `from`'s
        void (*destroy)(void* storage) noexcept;
    };

    template <typename D>
    static constexpr bool fitsInPlace =
        sizeof(D) <= Capacity &&
        alignof(D) <= alignof(std::max_align_t) && std::is_nothrow_move_constructible_v<D>;

    template <typename D>
    static constexpr Ops kInPlace = {
        [](void* storage, Args&&... args) -> R {
            return std::invoke(*static_cast<D*>(storage), std::forward<Args>(args)...);
        },
        [](void* to, void* from) noexcept {
            ::new (to) D(std::move(*static_cast<D*>(from)));
            static_cast<D*>(from)->~D();
        },
        [](void* storage) noexcept { static_cast<D*>(storage)->~D(); },
    };

    template <typename D>
    static constexpr Ops kOnHeap = {
        [](void* storage, Args&&... args) -> R {
            return std::invoke(**static_cast<std::unique_ptr<D>*>(storage), std::forward<Args>(args)...);
        },
        [](void* to, void* from) noexcept {
            auto& owned = *static_cast<std::unique_ptr<D>*>(from);
            ::new (to) std::unique_ptr<D>(std::move(owned));
            owned.~unique_ptr<D>();
        },
        [](void* storage) noexcept { static_cast<std::unique_ptr<D>*>(storage)->~unique_ptr<D>(); },
    };

    void take(InlineFunction& other) noexcept {
        if (!other.ops_) return;
        other.ops_->move(storage_, other.storage_);
        ops_ = std::exchange(other.ops_, nullptr);
    }
    void reset() noexcept {
        if (auto* ops = std::exchange(ops_, nullptr)) ops->destroy(storage_);
    }

    alignas(std::max_align_t) mutable std::byte storage_[Capacity];
    const Ops* ops_ = nullptr;
};

}  // namespace platform
