#pragma once
// Per-thread free lists of small blocks, by size class, for what every query makes
// and drops again (its flow, its connection, their completions' lists): a block
// freed goes to the freeing thread's list and the next allocation of its class on
// that thread takes it, with no lock and no trip to malloc. A block may be freed on
// any thread: it is plain heap memory and joins that thread's list. Each list keeps
// at most kMaxFreePerClass blocks and frees the rest, so that a burst does not pin
// its peak for ever; a thread's lists are freed when it ends. Blocks larger than
// the largest class come from the heap and go back to it.
#include <cstddef>
#include <memory>
#include <new>

namespace platform {

class BlockPool {
public:
    static constexpr std::size_t kGranule = 64;
    static constexpr std::size_t kClasses = 16;  // blocks up to 1 KiB
    static constexpr std::size_t kMaxBlock = kGranule * kClasses;
    static constexpr std::size_t kMaxFreePerClass = 512;

    static void* allocate(std::size_t bytes);
    static void deallocate(void* block, std::size_t bytes) noexcept;
    // Frees the blocks this thread keeps: its burst is over, the next query may
    // well ask the heap again.
    static void releaseFree() noexcept;
    // Free blocks this thread keeps for blocks of `bytes` (tests).
    static std::size_t freeBlocks(std::size_t bytes);
};

// A standard allocator over BlockPool, for std::allocate_shared and the small
// containers of the query path. Stateless: any two compare equal.
template <typename T>
struct PoolAllocator {
    static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__, "pool blocks have the heap's alignment");
    using value_type = T;

    PoolAllocator() noexcept = default;
    template <typename U>
    PoolAllocator(const PoolAllocator<U>&) noexcept {}

    // NOLINTBEGIN(bugprone-sizeof-expression): sizeof(T) is right for every T, pointers included
    T* allocate(std::size_t count) { return static_cast<T*>(BlockPool::allocate(count * sizeof(T))); }
    void deallocate(T* block, std::size_t count) noexcept { BlockPool::deallocate(block, count * sizeof(T)); }
    // NOLINTEND(bugprone-sizeof-expression)

    template <typename U>
    friend bool operator==(const PoolAllocator&, const PoolAllocator<U>&) noexcept {
        return true;
    }
};

// std::make_shared with the object and its control block from the pool.
template <typename T, typename... Args>
std::shared_ptr<T> makePooled(Args&&... args) {
    return std::allocate_shared<T>(PoolAllocator<T>{}, std::forward<Args>(args)...);
}

}  // namespace platform
