#include "platform/ne/UringLoop.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <asio/execution/context.hpp>
#include <asio/query.hpp>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

#include "platform/SystemLog.hpp"
#include "platform/ne/IoLoop.hpp"

namespace platform::ne {

namespace {

// An entry's user_data: its slot's generation above its index.
std::uint64_t userData(UringSlot slot) { return std::uint64_t{slot.generation} << 32 | slot.index; }

std::string uringErrorText(int error) { return std::strerror(error < 0 ? -error : error); }

}  // namespace

asio::execution_context::id UringLoop::id;

UringLoop::UringLoop(asio::execution_context& context)
    : asio::execution_context::service(context), io_(static_cast<asio::io_context&>(context)) {
    // The thread's loop first, so that it outlives the ring: the ring's shutdown may
    // still post to it, and its wake-up read is the ring's until then.
    asio::use_service<IoLoop>(context);
}

UringLoop::~UringLoop() {
    if (!ready_) return;
    if (bufferRing_) ::munmap(bufferRing_, bufferRingBytes_);
    io_uring_queue_exit(&ring_);
}

bool UringLoop::wanted() {
    const char* value = std::getenv("KIV_NE_IO_URING");
    return !value || std::string(value) != "0";
}

std::string UringLoop::probe() {
    io_uring_probe* probe = io_uring_get_probe();
    if (!probe) return "io_uring is not available";
    std::string missing;
    for (const auto& [op, name] :
         {std::pair{IORING_OP_RECVMSG, "recvmsg"}, std::pair{IORING_OP_SENDMSG, "sendmsg"},
          std::pair{IORING_OP_SEND, "send"}, std::pair{IORING_OP_RECV, "recv"},
          std::pair{IORING_OP_CONNECT, "connect"}, std::pair{IORING_OP_ASYNC_CANCEL, "cancel"},
          std::pair{IORING_OP_POLL_ADD, "poll"}, std::pair{IORING_OP_READ, "read"}}) {
        if (!io_uring_opcode_supported(probe, op))
            missing += (missing.empty() ? "" : ", ") + std::string(name);
    }
    io_uring_free_probe(probe);
    return missing.empty() ? std::string() : "io_uring lacks " + missing;
}

std::string UringLoop::enable(asio::io_context& io) {
    auto& loop = asio::use_service<UringLoop>(io);
    if (loop.ready_ || !loop.failure_.empty()) return loop.failure_;
    if (!wanted()) {
        loop.failure_ = "KIV_NE_IO_URING=0 asks for the epoll path";
    } else if (auto missing = probe(); !missing.empty()) {
        loop.failure_ = std::move(missing);
    } else if (std::string error; !loop.setUp(error)) {
        loop.failure_ = std::move(error);
    }
    return loop.failure_;
}

void useRings(const std::vector<asio::io_context*>& ios) {
    static std::once_flag said;
    for (auto* io : ios) {
        const auto why = UringLoop::enable(*io);
        if (why.empty()) continue;
        std::call_once(said, [&] {
            SystemLog("com.veltrix.kiv.KIVDNSProxy", "host")
                .notice("The UDP path runs on epoll, not io_uring: " + why);
        });
    }
}

UringLoop* UringLoop::of(asio::io_context& io) {
    if (!asio::has_service<UringLoop>(io)) return nullptr;
    auto& loop = asio::use_service<UringLoop>(io);
    return loop.ready_ && !loop.stopping_ ? &loop : nullptr;
}

UringLoop* UringLoop::of(const Queue& queue) {
    auto& context = asio::query(queue, asio::execution::context);
    if (!asio::has_service<UringLoop>(context)) return nullptr;
    auto& loop = asio::use_service<UringLoop>(context);
    return loop.ready_ && !loop.stopping_ ? &loop : nullptr;
}

bool UringLoop::setUp(std::string& error) {
    io_uring_params params{};
    // Room for the completions of a burst of multishot receives between two turns.
    // The ring is its thread's only wait, so the kernel need not interrupt the thread
    // to finish completions (COOP_TASKRUN): it does so when the thread enters the
    // ring, which the flag tells it to do when it has other work (TASKRUN_FLAG).
    // Kernels before 5.19 take the ring without them.
    const auto setUpRing = [&](unsigned flags) {
        params = io_uring_params{};
        params.flags = IORING_SETUP_CQSIZE | IORING_SETUP_SUBMIT_ALL | flags;
        params.cq_entries = kCompletionEntries;
        return io_uring_queue_init_params(kEntries, &ring_, &params);
    };
    int result = setUpRing(IORING_SETUP_COOP_TASKRUN | IORING_SETUP_TASKRUN_FLAG);
    if (result == -EINVAL) result = setUpRing(0);
    if (result < 0) {
        error = "io_uring setup failed (" + uringErrorText(result) + ")";
        return false;
    }
    const auto fail = [&](const std::string& what, int result) {
        error = what + " (" + uringErrorText(result) + ")";
        if (bufferRing_) ::munmap(bufferRing_, bufferRingBytes_);
        bufferRing_ = nullptr;
        io_uring_queue_exit(&ring_);
        return false;
    };
    if (!(params.features & IORING_FEAT_NODROP)) return fail("io_uring may drop completions", EOPNOTSUPP);
    // The provided-buffer ring: the kernel picks a buffer for each datagram.
    bufferRingBytes_ = kBufferCount * sizeof(io_uring_buf);
    void* mapped =
        ::mmap(nullptr, bufferRingBytes_, PROT_READ | PROT_WRITE, MAP_ANONYMOUS | MAP_PRIVATE, -1, 0);
    if (mapped == MAP_FAILED) return fail("cannot map io_uring's buffer ring", errno);
    bufferRing_ = static_cast<io_uring_buf_ring*>(mapped);
    io_uring_buf_reg registration{};
    registration.ring_addr = reinterpret_cast<std::uintptr_t>(bufferRing_);
    registration.ring_entries = kBufferCount;
    registration.bgid = kBufferGroup;
    if (const int result = io_uring_register_buf_ring(&ring_, &registration, 0); result < 0) {
        return fail("io_uring has no provided-buffer rings", result);
    }
    // Uncleared: a buffer's pages become resident only once a datagram fills them.
    buffers_ = std::make_unique_for_overwrite<std::uint8_t[]>(kBufferCount * kBufferSize);
    io_uring_buf_ring_init(bufferRing_);
    // The lowest first: a quiet ring only ever touches the first few.
    spareBuffers_.reserve(kBufferCount);
    for (unsigned i = kBufferCount; i > 0; --i) spareBuffers_.push_back(static_cast<std::uint16_t>(i - 1));
    offer();
    if (!asio::use_service<IoLoop>(io_).prepareWake())
        return fail("cannot make the io loop's eventfd", errno);
    ready_ = true;
    return true;
}

UringSlot UringLoop::hold(std::unique_ptr<UringOperation> operation, bool owned) {
    std::uint32_t index;
    if (freeSlots_.empty()) {
        index = static_cast<std::uint32_t>(slots_.size());
        slots_.emplace_back();
    } else {
        index = freeSlots_.back();
        freeSlots_.pop_back();
    }
    auto& slot = slots_[index];
    slot.operation = std::move(operation);
    slot.owned = owned;
    slot.inKernel = 0;
    return UringSlot{index, slot.generation};
}

UringOperation* UringLoop::held(UringSlot slot) {
    if (slot.index == 0 || slot.index >= slots_.size()) return nullptr;
    auto& held = slots_[slot.index];
    return held.generation == slot.generation ? held.operation.get() : nullptr;
}

void UringLoop::letGo(UringSlot slot) {
    if (!held(slot)) return;
    slots_[slot.index].owned = false;
    settle(slot.index);
}

void UringLoop::settle(std::uint32_t index) {
    auto& slot = slots_[index];
    // Not while in use (its own completion runs): that settles it once done.
    if (slot.owned || slot.inKernel > 0 || slot.inUse > 0 || !slot.operation) return;
    // A completion still on its way (one the kernel cannot have posted yet) finds
    // another generation. Zero is never one.
    if (++slot.generation == 0) slot.generation = 1;
    auto operation = std::move(slot.operation);
    freeSlots_.push_back(index);
    if (const auto ended = operation->ended; ended && !stopping_) ended(std::move(operation));
}

io_uring_sqe* UringLoop::rawEntry(std::uint64_t data) {
    // Behind what overflowed already, so that the kernel sees entries in the order
    // they were made (a linked pair stays together).
    io_uring_sqe* sqe = overflow_.empty() ? io_uring_get_sqe(&ring_) : nullptr;
    if (!sqe) {
        sqe = &overflow_.emplace_back();
        *sqe = io_uring_sqe{};
    }
    io_uring_sqe_set_data64(sqe, data);
    ++queued_;
    ++inFlight_;
    return sqe;
}

io_uring_sqe* UringLoop::entry(UringSlot slot) {
    if (held(slot)) ++slots_[slot.index].inKernel;
    return rawEntry(userData(slot));
}

void UringLoop::cancel(UringSlot slot) {
    if (!held(slot) || slots_[slot.index].inKernel == 0) return;
    io_uring_prep_cancel64(rawEntry(0), userData(slot), 0);
}

void UringLoop::submit() {
    if (queued_ == 0) return;
    for (;;) {
        // What overflowed moves into the room the last submission made; a linked
        // entry goes in only with the one it is linked to.
        while (!overflow_.empty()) {
            const bool linked = overflow_.front().flags & IOSQE_IO_LINK;
            if (io_uring_sq_space_left(&ring_) < (linked && overflow_.size() > 1 ? 2u : 1u)) break;
            *io_uring_get_sqe(&ring_) = overflow_.front();
            overflow_.pop_front();
            if (linked && !overflow_.empty()) {
                *io_uring_get_sqe(&ring_) = overflow_.front();
                overflow_.pop_front();
            }
        }
        ++counters_.submitCalls;
        const int submitted = io_uring_submit(&ring_);
        if (submitted > 0) counters_.submitted += static_cast<std::uint64_t>(submitted);
        // A kernel that takes none now (out of memory) gets the rest at the next submit.
        if (overflow_.empty() || submitted <= 0) break;
    }
    queued_ = overflow_.size();
}

void UringLoop::wait(std::optional<std::chrono::nanoseconds> limit) {
    if (limit && *limit <= std::chrono::nanoseconds::zero()) {
        if (queued_ > 0) {
            submit();
        } else if (IO_URING_READ_ONCE(*ring_.sq.kflags) & IORING_SQ_TASKRUN) {
            // Completions the kernel finishes only when this thread enters the ring.
            io_uring_get_events(&ring_);
        }
        return;
    }
    // What overflowed goes in first, as far as the kernel takes it; what the queue
    // holds then goes in with the wait.
    if (!overflow_.empty()) submit();
    __kernel_timespec timeout{};
    if (limit) {
        const auto ns = limit->count();
        timeout.tv_sec = ns / 1'000'000'000;
        timeout.tv_nsec = ns % 1'000'000'000;
    }
    const unsigned pending = io_uring_sq_ready(&ring_);
    ++counters_.submitCalls;
    io_uring_cqe* cqe = nullptr;
    const int result = io_uring_submit_and_wait_timeout(&ring_, &cqe, 1, limit ? &timeout : nullptr, nullptr);
    if (result >= 0 || result == -ETIME) counters_.submitted += pending - io_uring_sq_ready(&ring_);
    ++counters_.wakes;
    queued_ = overflow_.size() + io_uring_sq_ready(&ring_);
}

void UringLoop::defer(UringDeferred& work) {
    if (work.queued || stopping_) return;
    work.queued = true;
    // The reap under way runs it, or the next turn's (which the loop does not wait for).
    deferred_.push_back(&work);
}

void UringLoop::reap() {
    if (reaping_) return;
    reaping_ = true;
    unsigned taken = 0;  // buffers the kernel filled
    // Only the completions there when it began, then the work they deferred, so that
    // the timers and the posts get their turn however fast the kernel completes. What
    // they queue goes in with the loop's wait, which returns at once for what that
    // completes at once: one system call a turn.
    for (unsigned ready = io_uring_cq_ready(&ring_); ready > 0; --ready) {
        io_uring_cqe* cqe = nullptr;
        if (io_uring_peek_cqe(&ring_, &cqe) != 0 || !cqe) break;
        // Copied and consumed first: the completion may queue more.
        const io_uring_cqe copy = *cqe;
        io_uring_cqe_seen(&ring_, cqe);
        ++counters_.completions;
        if (!(copy.flags & IORING_CQE_F_MORE) && inFlight_ > 0) --inFlight_;
        if (copy.flags & IORING_CQE_F_BUFFER) {
            ++buffersOut_;
            ++taken;
            ++takenTotal_;
            if (offered_ > 0) --offered_;
            const unsigned id = (copy.flags >> IORING_CQE_BUFFER_SHIFT) % kBufferCount;
            filled_[id] = copy.res > 0 ? static_cast<std::uint32_t>(copy.res) : 0;
            touched_.set(id);
        }
        completeOne(copy);
    }
    if (taken > 0) review(taken);
    // The places the filled buffers left in the offer are filled from the spares now,
    // while their readers still hold them, and so is a wider offer the review set.
    offer();
    runDeferred();
    reaping_ = false;
}

void UringLoop::completeOne(const io_uring_cqe& cqe) {
    const std::uint64_t data = io_uring_cqe_get_data64(&cqe);
    if (data == 0) return;  // nobody waits for it (a cancel)
    const UringSlot slot{static_cast<std::uint32_t>(data), static_cast<std::uint32_t>(data >> 32)};
    auto* operation = held(slot);
    if (!operation) {
        // Its slot is gone: nobody to tell, but a buffer it took is the ring's again.
        ++dropped_;
        if (cqe.flags & IORING_CQE_F_BUFFER) release(cqe.flags >> IORING_CQE_BUFFER_SHIFT);
        return;
    }
    if (auto& held = slots_[slot.index]; !(cqe.flags & IORING_CQE_F_MORE) && held.inKernel > 0)
        --held.inKernel;
    const InUse inUse(*this, slot);
    if (operation->complete) operation->complete(*operation, cqe);
}

UringLoop::InUse::InUse(UringLoop& loop, UringSlot slot) : loop_(loop), slot_(slot) {
    if (loop_.held(slot_)) ++loop_.slots_[slot_.index].inUse;
}

UringLoop::InUse::~InUse() {
    if (!loop_.held(slot_)) return;
    --loop_.slots_[slot_.index].inUse;
    loop_.settle(slot_.index);
}

void UringLoop::forget(UringDeferred& work) {
    std::erase(shutdownWork_, &work);
    std::erase(starved_, &work);
    std::erase(deferred_, &work);
    // The round being run skips it.
    std::replace(running_.begin(), running_.end(), &work, static_cast<UringDeferred*>(nullptr));
    work.queued = false;
}

void UringLoop::release(unsigned id) {
    if (buffersOut_ > 0) --buffersOut_;
    if (const std::size_t filled = std::exchange(filled_[id % kBufferCount], 0);
        filled > kResidentBufferBytes) {
        // Before the kernel has the buffer again: nothing writes it meanwhile, and a
        // later datagram finds fresh zeroed pages. Up to the page the datagram ended
        // in, whole, or each fill would leave its last page behind; but never the page
        // the next buffer begins in.
        static const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
        const auto start = reinterpret_cast<std::uintptr_t>(buffer(id));
        const std::uintptr_t from = (start + kResidentBufferBytes + page - 1) / page * page;
        const std::uintptr_t to =
            std::min((start + filled + page - 1) / page * page, (start + kBufferSize) / page * page);
        if (to > from && ::madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED) == 0)
            counters_.bufferBytesReturned += to - from;
    }
    spareBuffers_.push_back(static_cast<std::uint16_t>(id % kBufferCount));
    offer();
    if (starved_.empty()) return;
    auto starved = std::move(starved_);
    starved_.clear();
    for (auto* work : starved) defer(*work);
}

void UringLoop::offer() {
    if (!bufferRing_) return;
    const int mask = io_uring_buf_ring_mask(kBufferCount);
    int added = 0;
    while (offered_ < offerLimit_ && !spareBuffers_.empty()) {
        const std::uint16_t id = spareBuffers_.back();
        spareBuffers_.pop_back();
        io_uring_buf_ring_add(bufferRing_, buffer(id), kBufferSize, id, mask, added++);
        ++offered_;
    }
    if (added > 0) io_uring_buf_ring_advance(bufferRing_, added);
}

void UringLoop::review(unsigned taken) {
    busiest_ = std::max(busiest_, taken);
    sinceReview_ += taken;
    if (sinceReview_ < kOfferReview) return;
    // Twice what the busiest pass took, so a pass like it never runs the offer dry.
    offerLimit_ = std::clamp(std::bit_ceil(2 * busiest_), kLeastOffered, kBufferCount);
    busiest_ = 0;
    sinceReview_ = 0;
}

void UringLoop::whenBuffersReturn(UringDeferred& work) {
    if (work.queued || stopping_) return;
    // A receive armed again after the last one ran dry that took nothing before it ran
    // dry too: whatever the count of offered buffers says, it waits for one to come back.
    const bool tookSince = takenTotal_ != takenAtDry_;
    takenAtDry_ = takenTotal_;
    if (offered_ == 0 && !spareBuffers_.empty()) {
        // The offer ran dry while buffers were back: it widens, and the receive is
        // armed again in this turn, with buffers to take.
        offerLimit_ = std::min(2 * offerLimit_, kBufferCount);
        offer();
        defer(work);
        return;
    }
    if (offered_ > 0 && tookSince) {
        // Offered after the kernel found none.
        defer(work);
        return;
    }
    if (std::find(starved_.begin(), starved_.end(), &work) == starved_.end()) starved_.push_back(&work);
}

void UringLoop::shutdown() {
    if (!ready_ || stopping_) return;
    stopping_ = true;
    // Every operation still armed ends now, and its completion lets its holder go.
    io_uring_prep_cancel64(rawEntry(0), 0, IORING_ASYNC_CANCEL_ANY);
    // The cancels end every receive at once; what else is in the kernel's hands
    // (a send) ends as soon as it is done. Waited for by completion, not by the
    // clock, and for a bounded time: a record the kernel may still write is freed
    // only once it has reported.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    submit();
    reap();
    while (inFlight_ > 0) {
        const auto left = until - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) break;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        __kernel_timespec wait{ns / 1'000'000'000, ns % 1'000'000'000};
        submit();  // what the last reap queued (the overflow too)
        io_uring_cqe* cqe = nullptr;
        const int result = io_uring_submit_and_wait_timeout(&ring_, &cqe, 1, &wait, nullptr);
        reap();
        if (result == -ETIME) break;
    }
    // Deferred work lets its holders go (it sees the ring stopping).
    const auto atShutdown = shutdownWork_;
    for (auto* work : atShutdown) {
        // One may end another's holder, which forgets its work.
        if (std::find(shutdownWork_.begin(), shutdownWork_.end(), work) != shutdownWork_.end())
            work->run(*work);
    }
    for (auto* work : starved_) deferred_.push_back(work);
    starved_.clear();
    runDeferred();
}

bool UringLoop::runDeferred() {
    // Work may defer more work: each round runs what the last one queued, a few
    // rounds at most (a reader that waits again without reading is told again in
    // the next turn, not in this one for ever).
    bool ran = false;
    for (int round = 0; round < 4 && !deferred_.empty(); ++round) {
        running_.swap(deferred_);
        // By index: a run may forget work later in this round (its holder went).
        for (std::size_t i = 0; i < running_.size(); ++i) {
            auto* work = running_[i];
            if (!work) continue;
            work->queued = false;
            work->run(*work);
        }
        running_.clear();
        ran = true;
    }
    return ran;
}

}  // namespace platform::ne
