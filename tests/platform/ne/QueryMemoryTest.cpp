// The per-thread memory a query reuses: pooled blocks, in-place completions and
// recycled datagrams.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/BlockPool.hpp"
#include "platform/InlineFunction.hpp"
#include "platform/Recycled.hpp"
#include "platform/ne/Queue.hpp"

namespace {

using platform::BlockPool;
using platform::InlineFunction;

struct Sized {
    std::array<std::byte, 200> bytes{};
};

TEST(BlockPoolTest, AFreedBlockServesTheNextAllocationOfItsClass) {
    void* first = BlockPool::allocate(100);
    BlockPool::deallocate(first, 100);
    // 100 and 120 bytes share a class: the block comes back.
    void* second = BlockPool::allocate(120);
    EXPECT_EQ(second, first);
    BlockPool::deallocate(second, 120);
}

TEST(BlockPoolTest, KeepsAtMostItsBoundOfFreeBlocksPerClass) {
    constexpr std::size_t kBytes = 300;
    const std::size_t before = BlockPool::freeBlocks(kBytes);
    std::vector<void*> blocks;
    for (std::size_t i = 0; i < BlockPool::kMaxFreePerClass + before + 50; ++i) {
        blocks.push_back(BlockPool::allocate(kBytes));
    }
    EXPECT_EQ(BlockPool::freeBlocks(kBytes), 0u);
    for (void* block : blocks) BlockPool::deallocate(block, kBytes);
    EXPECT_EQ(BlockPool::freeBlocks(kBytes), BlockPool::kMaxFreePerClass);
}

TEST(BlockPoolTest, BlocksLargerThanEveryClassGoBackToTheHeap) {
    void* block = BlockPool::allocate(BlockPool::kMaxBlock + 1);
    BlockPool::deallocate(block, BlockPool::kMaxBlock + 1);
    EXPECT_EQ(BlockPool::freeBlocks(BlockPool::kMaxBlock + 1), 0u);
}

// Objects made on one thread and dropped on others: each dropping thread keeps the
// blocks (up to its bound) and frees them when it ends. Run under the sanitizers,
// this is the cross-thread free and the thread's end.
TEST(BlockPoolTest, ObjectsMadeOnOneThreadMayEndOnAnother) {
    constexpr std::size_t kObjects = 3 * BlockPool::kMaxFreePerClass;
    std::vector<std::shared_ptr<Sized>> made;
    for (std::size_t i = 0; i < kObjects; ++i) made.push_back(platform::makePooled<Sized>());
    const std::size_t blockBytes = sizeof(Sized) + 16;  // the control block beside it
    std::size_t keptThere = 0;
    std::thread other([&] {
        made.clear();
        keptThere = BlockPool::freeBlocks(blockBytes);
        // Taken again there, as a query on that thread would.
        auto again = platform::makePooled<Sized>();
        again->bytes[0] = std::byte{1};
    });
    other.join();
    EXPECT_EQ(keptThere, BlockPool::kMaxFreePerClass);
    // This thread's pool is untouched by the other's frees, and still serves.
    auto here = platform::makePooled<Sized>();
    EXPECT_NE(here, nullptr);
}

TEST(BlockPoolTest, SharedObjectsPassedBetweenThreadsConcurrently) {
    constexpr int kRounds = 2000;
    std::vector<std::shared_ptr<Sized>> inbox;
    std::mutex mutex;
    std::thread producer([&] {
        for (int i = 0; i < kRounds; ++i) {
            auto object = platform::makePooled<Sized>();
            object->bytes[1] = std::byte{2};
            std::lock_guard lock(mutex);
            inbox.push_back(std::move(object));
        }
    });
    std::thread consumer([&] {
        for (int taken = 0; taken < kRounds;) {
            std::vector<std::shared_ptr<Sized>> batch;
            {
                std::lock_guard lock(mutex);
                batch.swap(inbox);
            }
            for (auto& object : batch) EXPECT_EQ(object->bytes[1], std::byte{2});
            taken += static_cast<int>(batch.size());
        }
    });
    producer.join();
    consumer.join();
}

struct Counted {
    explicit Counted(std::shared_ptr<int> held) : held(std::move(held)) {}
    std::shared_ptr<int> held;
};

TEST(InlineFunctionTest, MovingKeepsOneOwnerAndDestroyingReleasesTheCaptures) {
    auto token = std::make_shared<int>(7);
    InlineFunction<int(int)> function = [token, other = token](int add) { return *token + *other + add; };
    EXPECT_EQ(token.use_count(), 3);
    InlineFunction<int(int)> moved = std::move(function);
    EXPECT_FALSE(function);  // NOLINT(bugprone-use-after-move): a moved-from function is empty
    EXPECT_EQ(token.use_count(), 3);
    EXPECT_EQ(moved(1), 15);
    moved = nullptr;
    EXPECT_FALSE(moved);
    EXPECT_EQ(token.use_count(), 1);
}

TEST(InlineFunctionTest, ALargeCallableIsOwnedOnTheHeapAlike) {
    auto token = std::make_shared<int>(1);
    std::array<int, 64> table{};
    table[63] = 5;
    InlineFunction<int()> function = [token, table] { return table[63] + *token; };
    EXPECT_EQ(token.use_count(), 2);
    InlineFunction<int()> moved;
    moved = std::move(function);
    EXPECT_EQ(moved(), 6);
    EXPECT_EQ(token.use_count(), 2);
    moved = InlineFunction<int()>();
    EXPECT_EQ(token.use_count(), 1);
}

TEST(InlineFunctionTest, MutableCallablesKeepTheirStateAndMoveOnlyCapturesWork) {
    auto owned = std::make_unique<int>(3);
    InlineFunction<int()> counter = [count = 0, owned = std::move(owned)]() mutable {
        return ++count + *owned;
    };
    EXPECT_EQ(counter(), 4);
    EXPECT_EQ(counter(), 5);
    EXPECT_TRUE(counter != nullptr);
}

TEST(RecycledTest, AGivenContainerLendsItsCapacityToTheNextTake) {
    using Bytes = platform::Recycled<std::vector<std::uint8_t>, 4, 1024>;
    while (Bytes::kept() > 0) Bytes::take();
    std::vector<std::uint8_t> used(300, 1);
    const auto* memory = used.data();
    Bytes::give(std::move(used));
    EXPECT_EQ(Bytes::kept(), 1u);
    auto again = Bytes::take();
    EXPECT_TRUE(again.empty());
    EXPECT_EQ(again.data(), memory);
    EXPECT_GE(again.capacity(), 300u);
}

TEST(RecycledTest, KeepsNeitherMoreThanItsBoundNorLargeContainers) {
    using Bytes = platform::Recycled<std::vector<std::uint8_t>, 4, 1024>;
    while (Bytes::kept() > 0) Bytes::take();
    Bytes::give(std::vector<std::uint8_t>(2000));  // larger than kept
    EXPECT_EQ(Bytes::kept(), 0u);
    for (int i = 0; i < 10; ++i) Bytes::give(std::vector<std::uint8_t>(10));
    EXPECT_EQ(Bytes::kept(), 4u);
    std::thread other([] { EXPECT_EQ(Bytes::kept(), 0u); });  // each thread has its own
    other.join();
}

struct CountedService final : asio::execution_context::service {
    using key_type = CountedService;
    static inline asio::execution_context::id id;
    explicit CountedService(asio::execution_context& context) : service(context) { ++made; }
    void shutdown() override {}
    static inline int made = 0;
};

// A context made where an ended one lived is not taken for it: the remembered
// service would be the ended context's.
TEST(ServiceOfTest, AContextMadeWhereAnEndedOneLivedGetsItsOwnService) {
    std::optional<asio::io_context> io;
    io.emplace();
    const auto* place = &*io;
    auto* first = &platform::ne::serviceOf<CountedService>(io->get_executor());
    EXPECT_EQ(&platform::ne::serviceOf<CountedService>(io->get_executor()), first);
    EXPECT_EQ(&asio::use_service<CountedService>(*io), first);
    io.reset();
    io.emplace();
    ASSERT_EQ(&*io, place);
    auto* second = &platform::ne::serviceOf<CountedService>(io->get_executor());
    EXPECT_EQ(&asio::use_service<CountedService>(*io), second);
    EXPECT_EQ(CountedService::made, 2);
    // Through a strand, the registry is asked.
    EXPECT_EQ(&platform::ne::serviceOf<CountedService>(platform::ne::makeQueue(*io)), second);
}

}  // namespace
