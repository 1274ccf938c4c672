#pragma once
// An io_uring ring for one io_context of the provider host: the hot path's socket
// work (the listeners' receives, the replies to clients, the upstream sends,
// receives, disconnects and drains) goes in as submissions rather than as one
// system call each, and a listener's receive stays armed (multishot) instead of
// costing a readiness event and a recvmmsg per wake-up.
//
// The thread's loop (platform/ne/IoLoop.hpp) drives the ring: the ring is the
// thread's one wait, each turn reaps and runs the deferred work inside the loop's
// turn, and the entries the turn made go in with the wait that ends it. What is
// queued before a loop first runs (the set-up, on the main thread) goes in with its
// first wait.
//
// The listeners' datagrams land in the ring's provided buffers (one group per
// ring): a buffer is the kernel's to fill again once its holder gives it back. An
// upstream reply takes none (its connection waits for it with a poll and reads it
// into memory of its own), so replies never wait behind clients' datagrams for room.
//
// A turn of the ring handles only the completions there when it began, then the
// work they deferred; the loop's wait at its end submits what they queued and
// returns at once for what that completes at once. Entries made while the
// submission queue is full wait in the ring's overflow for that submit, never a
// submission of their own.
//
// Availability: enable() sets a ring up for an io_context unless io_uring is
// missing or refused (an old kernel, kernel.io_uring_disabled, a seccomp filter, a
// failing setup) or KIV_NE_IO_URING=0 asks for the epoll path; of() then gives
// nullptr and every user works as before. The ring belongs to the single thread
// that runs its io_context: use it only from there.
#include <liburing.h>

#include <array>
#include <asio/io_context.hpp>
#include <atomic>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "platform/ne/Queue.hpp"

namespace platform::ne {

// What a submission's completions go to. The ring holds it, in a slot of its own
// (hold()), for as long as the kernel may still read or write it: the bytes, the
// header and the address of a send, the buffer of a read live in it, not with
// whoever started it. An entry's user_data is its slot and the slot's generation; a
// completion whose slot has been freed (or reused since) finds nobody and is
// dropped, its provided buffer given back.
struct UringOperation {
    using Complete = void (*)(UringOperation&, const io_uring_cqe&);
    // Where the record goes once its slot lets it go: a spare for the next operation
    // of its kind, or (nullptr) nowhere. Not called while the ring shuts down.
    using Ended = void (*)(std::unique_ptr<UringOperation>);
    virtual ~UringOperation() = default;
    Complete complete = nullptr;
    Ended ended = nullptr;
};

// A record of kind `Record` for the next operation: a spare of `pool`, or a new one,
// in `taken` (which goes to UringLoop::hold).
template <class Record>
Record& takeSpare(std::vector<std::unique_ptr<UringOperation>>& pool,
                  std::unique_ptr<UringOperation>& taken) {
    if (pool.empty()) {
        taken = std::make_unique<Record>();
    } else {
        taken = std::move(pool.back());
        pool.pop_back();
    }
    return static_cast<Record&>(*taken);
}

// A slot of the ring's: its index and generation (zero: none).
struct UringSlot {
    std::uint32_t index = 0;
    std::uint32_t generation = 0;
    explicit operator bool() const { return generation != 0; }
};

// Work to run once the completions at hand are handled (a listener telling its
// reader once for all the datagrams of one turn). Its holder keeps it alive until it ran.
struct UringDeferred {
    void (*run)(UringDeferred&) = nullptr;
    bool queued = false;
};

// Counts of what went through a ring (tests and the benchmark).
struct UringCounters {
    std::uint64_t submitCalls = 0;
    std::uint64_t submitted = 0;
    std::uint64_t completions = 0;
    std::uint64_t wakes = 0;
    std::uint64_t bufferBytesReturned = 0;  // pages of large datagrams given back
};

class UringLoop final : public asio::execution_context::service {
public:
    using key_type = UringLoop;
    static asio::execution_context::id id;

    static constexpr unsigned kEntries = 256;
    static constexpr unsigned kCompletionEntries = 4096;
    static constexpr unsigned kBufferCount = 128;  // a power of two
    // The largest UDP payload, and room for the multishot receive's header, the
    // source address and the packet-info control message in front of it.
    static constexpr std::size_t kBufferSize = 65536 + 256;
    static constexpr std::uint16_t kBufferGroup = 0;
    // What of a buffer stays resident once it comes back: DNS datagrams are mostly
    // far smaller, and the pages a large one filled beyond it go back to the system,
    // or a flood of large datagrams would leave every buffer resident for good.
    static constexpr std::size_t kResidentBufferBytes = 8192;
    // The fewest buffers the kernel is offered at once. The ring takes its offered
    // buffers in turn, so each one offered is one more that a datagram's copy finds
    // cold; a burst that runs the offer dry widens it, and a quiet spell narrows it again.
    static constexpr unsigned kLeastOffered = 16;
    // Buffers taken between two looks at how wide the offer must be.
    static constexpr unsigned kOfferReview = 1024;

    explicit UringLoop(asio::execution_context& context);
    ~UringLoop() override;

    // Sets up the ring of `io` (once; later calls report the first outcome). Returns
    // an empty string when the ring is in use, else why not.
    static std::string enable(asio::io_context& io);
    // Whether the environment leaves io_uring allowed (KIV_NE_IO_URING is not "0").
    static bool wanted();
    // What this kernel's io_uring lacks for the hot path; empty when it has it all.
    static std::string probe();
    // The ring of the io_context behind `queue` (or `io`), when enabled there.
    static UringLoop* of(asio::io_context& io);
    static UringLoop* of(const Queue& queue);

    // Takes `operation` into a slot. Held by its owner (`owned`), it stays until the
    // owner lets go of it and the kernel has reported the last of its entries; else
    // until that last report alone (one send, one socket's return).
    UringSlot hold(std::unique_ptr<UringOperation> operation, bool owned);
    // The owner of `slot` is going: the operation goes once the kernel is done with it.
    // Until then its completions still reach it (it finds its owner gone).
    void letGo(UringSlot slot);
    // The operation in `slot`, while the slot has it.
    template <class Operation>
    Operation* find(UringSlot slot) {
        return static_cast<Operation*>(held(slot));
    }
    // While one lives, the operation in its slot stays, even if its owner lets go:
    // for work of the operation's own that may end its owner (a completion, a
    // reader's handler).
    class InUse {
    public:
        InUse(UringLoop& loop, UringSlot slot);
        ~InUse();
        InUse(const InUse&) = delete;
        InUse& operator=(const InUse&) = delete;

    private:
        UringLoop& loop_;
        UringSlot slot_;
    };
    // An entry to fill, whose completions go to the operation in `slot`; it goes in at
    // the turn's end. Never null and never a submission of its own: once the
    // submission queue is full, entries wait in the ring's own overflow (in order) for
    // the next submit.
    io_uring_sqe* entry(UringSlot slot);
    // Ends what the kernel does for `slot` (its last completion still comes).
    void cancel(UringSlot slot);
    // Handles the completions there now and the work they deferred; what they queue
    // goes in with the loop's wait.
    void reap();
    // Submits what is queued, now; what completes is handled later. The turn's end
    // (a reap, the loop's wait) is where entries go in; this is for a listener's end
    // alone, whose port must be free when its destructor returns.
    void submit();
    // Runs `work` after the completions being handled now, or in the next turn.
    void defer(UringDeferred& work);
    // Runs `work` (deferred) once a buffer comes back: a multishot receive that
    // found none ended, and is armed again then.
    void whenBuffersReturn(UringDeferred& work);
    // Runs `work` when the io_context shuts down, as it destroys the handlers still
    // waiting (what a holder keeps for a later completion must go then, or cycles
    // of owners outlive the io_context); forget() before `work` goes.
    void atShutdown(UringDeferred& work) { shutdownWork_.push_back(&work); }
    // `work` is going: it leaves every list it may be on (queued, waiting for a
    // buffer, at shutdown), and the turn under way does not run it.
    void forget(UringDeferred& work);
    // Whether a reap or a turn of the io thread's loop is under way: what is queued
    // now goes in at its end.
    bool inTurn() const { return reaping_ || batching_ > 0; }

    // The io thread's loop takes the ring's thread (IoLoop).
    void drive() { claim(); }
    // Whether a turn has work before it may wait: deferred work or completions.
    bool hasWork() const { return !deferred_.empty() || io_uring_cq_ready(&ring_) > 0; }
    // Submits what is queued and waits up to `limit` (nullopt: as long as it takes)
    // for a completion; zero only submits.
    void wait(std::optional<std::chrono::nanoseconds> limit);
    // A turn of the driving loop: what it queues goes in with the wait that ends it.
    class Turn {
    public:
        explicit Turn(UringLoop& loop) : loop_(loop) { ++loop_.batching_; }
        ~Turn() { --loop_.batching_; }
        Turn(const Turn&) = delete;
        Turn& operator=(const Turn&) = delete;

    private:
        UringLoop& loop_;
    };

    std::uint8_t* buffer(unsigned id) { return buffers_.get() + static_cast<std::size_t>(id) * kBufferSize; }
    // Hands buffer `id` back to the kernel.
    void release(unsigned id);
    bool stopping() const { return stopping_; }
    // Whether the caller is the ring's thread: the one that runs its io_context, or
    // anyone before it first ran.
    bool inThread() const {
        const auto owner = owner_.load(std::memory_order_relaxed);
        return owner == std::thread::id() || owner == std::this_thread::get_id();
    }
    const UringCounters& counters() const { return counters_; }
    // Entries handed to the kernel (or waiting to be) whose last completion has not
    // come yet.
    std::size_t inFlight() const { return inFlight_; }
    // Slots holding an operation (tests: none is left behind).
    std::size_t slotsHeld() const { return slots_.size() - 1 - freeSlots_.size(); }
    // Completions that found their slot gone (tests).
    std::uint64_t dropped() const { return dropped_; }
    // Entries waiting in the overflow for room in the submission queue (tests).
    std::size_t overflowing() const { return overflow_.size(); }
    // The span of the provided buffers (tests: what of it is resident).
    std::span<const std::uint8_t> buffers() const { return {buffers_.get(), kBufferCount * kBufferSize}; }
    // Provided buffers the kernel has filled and nobody has given back yet.
    std::size_t buffersOut() const { return buffersOut_; }
    // Work waiting for a buffer to come back (tests).
    std::size_t waitingForBuffers() const { return starved_.size(); }
    // How many buffers the kernel may hold unfilled at once, now.
    unsigned offerLimit() const { return offerLimit_; }
    // Buffers the kernel has filled at least once (tests: the hot set).
    std::size_t buffersTouched() const { return touched_.count(); }

private:
    bool setUp(std::string& error);
    void shutdown() override;
    // Runs the deferred work until none is left; whether any ran.
    bool runDeferred();

    struct Slot {
        std::unique_ptr<UringOperation> operation;
        std::uint32_t generation = 1;
        std::uint32_t inKernel = 0;  // entries whose last completion has not come
        std::uint32_t inUse = 0;
        bool owned = false;
    };
    UringOperation* held(UringSlot slot);
    io_uring_sqe* rawEntry(std::uint64_t data);
    // Frees `index` if nobody holds it and the kernel is done with it.
    void settle(std::uint32_t index);
    void completeOne(const io_uring_cqe& cqe);
    // Offers the kernel the buffers back last, up to the limit.
    void offer();
    // A reap pass's buffers taken: how wide the offer must be.
    void review(unsigned taken);

    void claim() {
        if (owner_.load(std::memory_order_relaxed) == std::thread::id())
            owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    }

    asio::io_context& io_;
    std::atomic<std::thread::id> owner_{};
    bool ready_ = false;
    std::string failure_;
    io_uring ring_{};
    io_uring_buf_ring* bufferRing_ = nullptr;
    std::size_t bufferRingBytes_ = 0;
    std::unique_ptr<std::uint8_t[]> buffers_;
    std::array<std::uint32_t, kBufferCount> filled_{};  // bytes the kernel wrote, by buffer
    // Buffers back from use and not offered yet, the last one back on top: it is offered
    // first, while still warm.
    std::vector<std::uint16_t> spareBuffers_;
    unsigned offered_ = 0;  // offered, and not reported filled yet
    unsigned offerLimit_ = kLeastOffered;
    unsigned busiest_ = 0;  // the most buffers one reap pass found taken, this review
    unsigned sinceReview_ = 0;
    std::uint64_t takenTotal_ = 0;  // buffers the kernel ever filled
    std::uint64_t takenAtDry_ = 0;  // ... when a receive last ran dry
    std::bitset<kBufferCount> touched_;
    std::vector<UringDeferred*> deferred_;
    std::vector<UringDeferred*> running_;
    std::vector<UringDeferred*> starved_;  // waiting for a buffer
    std::vector<UringDeferred*> shutdownWork_;
    std::size_t queued_ = 0;  // entries not submitted yet
    // Entries made while the submission queue was full, oldest first; stable
    // addresses, so a caller may fill one after entry() returned it.
    std::deque<io_uring_sqe> overflow_;
    std::size_t inFlight_ = 0;
    std::size_t buffersOut_ = 0;
    int batching_ = 0;
    bool reaping_ = false;
    bool stopping_ = false;
    UringCounters counters_;
    std::uint64_t dropped_ = 0;
    // Index 0 is never used: a user_data of zero is an entry nobody waits for.
    std::vector<Slot> slots_ = std::vector<Slot>(1);
    std::vector<std::uint32_t> freeSlots_;
};

// Enables the rings of `ios`; the first time one cannot be, the process says why,
// once, and those io_contexts keep the epoll path.
void useRings(const std::vector<asio::io_context*>& ios);

}  // namespace platform::ne
