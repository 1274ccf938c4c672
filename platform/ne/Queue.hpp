#pragma once
// The serial queue of the network stand-ins: an Asio executor whose work runs one
// item at a time in posting order. Either a strand (makeQueue) or the queue of an io
// thread (IoLoop::queue: its io_context's executor, or the loop's own where the ring is
// the thread's wait); the provider host's flows use their thread's, so a query never
// changes threads.
#include <asio/any_io_executor.hpp>
#include <asio/detail/executor_function.hpp>
#include <asio/execution.hpp>
#include <asio/io_context.hpp>
#include <asio/strand.hpp>
#include <atomic>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <typeinfo>
#include <utility>

namespace platform::ne {

// Serial by construction; see above.
using Queue = asio::any_io_executor;

class IoLoop;
// Hands `task` to `loop` (platform/ne/IoLoop.hpp): any thread.
void postToLoop(IoLoop& loop, asio::detail::executor_function task);

// The executor of an io thread whose loop is not Asio's (IoLoop on the ring): what
// is posted to it runs in that loop's turns, in posting order. Its context is the
// io_context, whose services (the ring, the deadlines, the sockets) the loop's work
// finds through it.
class LoopExecutor {
public:
    LoopExecutor(IoLoop& loop, asio::io_context& io) noexcept : loop_(&loop), io_(&io) {}
    asio::execution_context& query(asio::execution::context_t) const noexcept { return *io_; }
    static constexpr asio::execution::blocking_t query(asio::execution::blocking_t) noexcept {
        return asio::execution::blocking.never;
    }
    LoopExecutor require(asio::execution::blocking_t::never_t) const noexcept { return *this; }
    template <typename Function>
    void execute(Function&& function) const {
        if constexpr (std::is_same_v<std::decay_t<Function>, asio::detail::executor_function>) {
            postToLoop(*loop_, std::forward<Function>(function));
        } else {
            postToLoop(*loop_, asio::detail::executor_function(std::forward<Function>(function),
                                                               std::allocator<void>()));
        }
    }
    asio::io_context& context() const noexcept { return *io_; }
    IoLoop& loop() const noexcept { return *loop_; }
    friend bool operator==(const LoopExecutor& a, const LoopExecutor& b) noexcept {
        return a.loop_ == b.loop_;
    }
    friend bool operator!=(const LoopExecutor& a, const LoopExecutor& b) noexcept {
        return a.loop_ != b.loop_;
    }

private:
    IoLoop* loop_;
    asio::io_context* io_;
};

// The executor in `queue` when it is an `Executor`, else nullptr. Asio's own target()
// casts to whatever it is asked for, without looking at the type.
template <typename Executor>
const Executor* targetOf(const Queue& queue) {
    return queue && queue.target_type() == typeid(Executor) ? queue.target<Executor>() : nullptr;
}

// The io_context behind `queue` when it is an io thread's own queue (not a strand),
// without asking the type-erased executor for its context.
inline asio::io_context* ownContextOf(const Queue& queue) {
    if (const auto* executor = targetOf<asio::io_context::executor_type>(queue)) return &executor->context();
    if (const auto* executor = targetOf<LoopExecutor>(queue)) return &executor->context();
    return nullptr;
}

inline Queue makeQueue(asio::io_context& io) { return asio::make_strand(io.get_executor()); }
inline Queue makeQueue(const asio::any_io_executor& executor) { return asio::make_strand(executor); }

// Lives and dies with its io_context: its end tells the threads' lookups below that
// a context they know may be gone.
class ContextEnd final : public asio::execution_context::service {
public:
    using key_type = ContextEnd;
    static inline asio::execution_context::id id;
    explicit ContextEnd(asio::execution_context& context) : service(context) {}
    ~ContextEnd() override { ended.fetch_add(1, std::memory_order_acq_rel); }
    // How many io_contexts that were looked up through serviceOf have ended.
    static inline std::atomic<std::uint64_t> ended{0};

private:
    void shutdown() override {}
};

// A thread's memory of one value that belongs to an io_context, good until any
// io_context that was looked up this way ends (a new one may reuse the address).
template <typename Value>
struct ContextMemo {
    const asio::io_context* context = nullptr;
    std::uint64_t ended = 0;
    Value value{};

    // Whether the memory still holds for `io`; if not, it is emptied and kept for `io`.
    bool holdsFor(asio::io_context& io) {
        const auto now = ContextEnd::ended.load(std::memory_order_acquire);
        if (context == &io && ended == now) return true;
        asio::use_service<ContextEnd>(io);
        context = &io;
        ended = now;
        value = Value{};
        return false;
    }
};

// The service `Service` of the io_context behind `queue`. The registry's own lookup
// takes a lock and compares type names: each thread remembers the answer for the
// context it last asked about.
template <typename Service>
Service& serviceOf(const Queue& queue) {
    asio::io_context* own = ownContextOf(queue);
    if (!own) return asio::use_service<Service>(asio::query(queue, asio::execution::context));
    thread_local ContextMemo<Service*> known;
    asio::io_context& context = *own;
    if (!known.holdsFor(context)) known.value = &asio::use_service<Service>(context);
    return *known.value;
}

}  // namespace platform::ne
