#include "platform/BlockPool.hpp"

#include <array>
#include <utility>

namespace platform {

namespace {

struct FreeBlock {
    FreeBlock* next;
};

// A thread's lists are plain data, so that reaching them costs no check of
// whether they were made; the Reaper frees what they hold when the thread ends.
struct Lists {
    std::array<FreeBlock*, BlockPool::kClasses> heads;
    std::array<std::size_t, BlockPool::kClasses> counts;
};

// none until the thread first keeps a block, gone once its thread-local objects
// are being destroyed (others, destroyed after them, may still free blocks).
enum class State : unsigned char { none, alive, gone };

thread_local constinit Lists lists{};
thread_local constinit State state = State::none;

void freeAll() {
    for (auto& head : lists.heads) {
        while (head) ::operator delete(std::exchange(head, head->next));
    }
    lists.counts.fill(0);
}

struct Reaper {
    Reaper() = default;
    Reaper(const Reaper&) = delete;
    Reaper& operator=(const Reaper&) = delete;
    ~Reaper() {
        state = State::gone;
        freeAll();
    }
};

// Whether the thread may keep blocks; the first time, arranges their freeing.
bool mayKeep() {
    if (state == State::alive) return true;
    if (state == State::gone) return false;
    thread_local Reaper reaper;
    state = State::alive;
    return true;
}

std::size_t classOf(std::size_t bytes) { return (bytes - 1) / BlockPool::kGranule; }

}  // namespace

void* BlockPool::allocate(std::size_t bytes) {
    if (bytes == 0 || bytes > kMaxBlock) return ::operator new(bytes == 0 ? 1 : bytes);
    const std::size_t index = classOf(bytes);
    FreeBlock* block = lists.heads[index];
    if (!block) return ::operator new((index + 1) * kGranule);
    lists.heads[index] = block->next;
    --lists.counts[index];
    return block;
}

void BlockPool::deallocate(void* block, std::size_t bytes) noexcept {
    if (!block) return;
    const std::size_t index = classOf(bytes);
    if (bytes == 0 || bytes > kMaxBlock || lists.counts[index] >= kMaxFreePerClass || !mayKeep()) {
        ::operator delete(block);
        return;
    }
    lists.heads[index] = ::new (block) FreeBlock{lists.heads[index]};
    ++lists.counts[index];
}

void BlockPool::releaseFree() noexcept { freeAll(); }

std::size_t BlockPool::freeBlocks(std::size_t bytes) {
    if (bytes == 0 || bytes > kMaxBlock) return 0;
    return lists.counts[classOf(bytes)];
}

}  // namespace platform
