#pragma once
// The serial queue of the network stand-ins: an Asio executor whose work runs one
// item at a time in posting order. Either a strand (makeQueue) or the executor of an
// io_context that exactly one thread runs (the provider host's flows use their
// io_context's executor, so a query never changes threads).
#include <asio/any_io_executor.hpp>
#include <asio/io_context.hpp>
#include <asio/strand.hpp>
#include <atomic>
#include <cstdint>

namespace platform::ne {

// Serial by construction; see above.
using Queue = asio::any_io_executor;

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
    const auto* executor = queue.target<asio::io_context::executor_type>();
    if (!executor) return asio::use_service<Service>(asio::query(queue, asio::execution::context));
    thread_local ContextMemo<Service*> known;
    asio::io_context& context = executor->context();
    if (!known.holdsFor(context)) known.value = &asio::use_service<Service>(context);
    return *known.value;
}

}  // namespace platform::ne
