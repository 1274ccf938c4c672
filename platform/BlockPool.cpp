#include "platform/BlockPool.hpp"

#include <array>
#include <utility>

namespace platform {

namespace {

struct FreeBlock {
    FreeBlock* next;
};

class ThreadBlocks {
public:
    ThreadBlocks() { state = State::alive; }
    ~ThreadBlocks() {
        state = State::gone;
        for (auto*& head : heads_) {
            while (head) ::operator delete(std::exchange(head, head->next));
        }
    }
    ThreadBlocks(const ThreadBlocks&) = delete;
    ThreadBlocks& operator=(const ThreadBlocks&) = delete;

    void* take(std::size_t index) {
        FreeBlock* block = heads_[index];
        if (!block) return ::operator new((index + 1) * BlockPool::kGranule);
        heads_[index] = block->next;
        --counts_[index];
        return block;
    }
    void put(void* memory, std::size_t index) noexcept {
        if (counts_[index] >= BlockPool::kMaxFreePerClass) {
            ::operator delete(memory);
            return;
        }
        heads_[index] = ::new (memory) FreeBlock{heads_[index]};
        ++counts_[index];
    }
    std::size_t count(std::size_t index) const { return counts_[index]; }

    // The lists of a thread are made by its first use and gone once its thread-local
    // objects are being destroyed (others, destroyed after them, may still free blocks).
    enum class State : unsigned char { none, alive, gone };
    static thread_local State state;

private:
    std::array<FreeBlock*, BlockPool::kClasses> heads_{};
    std::array<std::size_t, BlockPool::kClasses> counts_{};
};

thread_local ThreadBlocks::State ThreadBlocks::state = ThreadBlocks::State::none;

// The thread's lists, made on first use; none while the thread ends.
ThreadBlocks* threadBlocks() {
    if (ThreadBlocks::state == ThreadBlocks::State::gone) return nullptr;
    thread_local ThreadBlocks blocks;
    return &blocks;
}

bool everMade() { return ThreadBlocks::state == ThreadBlocks::State::alive; }

std::size_t classOf(std::size_t bytes) { return (bytes - 1) / BlockPool::kGranule; }

}  // namespace

void* BlockPool::allocate(std::size_t bytes) {
    if (bytes == 0 || bytes > kMaxBlock) return ::operator new(bytes == 0 ? 1 : bytes);
    if (auto* blocks = threadBlocks()) return blocks->take(classOf(bytes));
    return ::operator new((classOf(bytes) + 1) * kGranule);
}

void BlockPool::deallocate(void* block, std::size_t bytes) noexcept {
    if (!block) return;
    if (bytes == 0 || bytes > kMaxBlock) {
        ::operator delete(block);
        return;
    }
    // A thread whose lists are gone (it is ending) frees at once.
    if (auto* blocks = threadBlocks()) {
        blocks->put(block, classOf(bytes));
        return;
    }
    ::operator delete(block);
}

std::size_t BlockPool::freeBlocks(std::size_t bytes) {
    if (bytes == 0 || bytes > kMaxBlock || !everMade()) return 0;
    return threadBlocks()->count(classOf(bytes));
}

}  // namespace platform
