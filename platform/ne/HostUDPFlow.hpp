#pragma once
// The provider host's UDP flow: the datagrams that one client endpoint sent to one
// local address, received together. The batch is handed over by the first read;
// the flow is then detached from the client, whose next query starts a new flow
// (a second read reports end of flow). Replies leave through the listening socket
// from the address the client queried. All work runs on the flow's queue (the
// single-threaded io_context its datagrams arrived on): a call made on that queue,
// as the provider's are, is done and completed at once, which spares the query a
// trip through the queue (and the event loop's look at its descriptors that each
// trip costs) per step; a call from elsewhere is queued.
// The flow counts as live from creation until it is closed both ways (or dropped).
#include <asio/io_context.hpp>
#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/ne/IoLoop.hpp"
#include "platform/ne/NEAppProxyFlow.hpp"
#include "platform/ne/UDPListenerLinux.hpp"

namespace platform::ne {

// Shared count of live flows, and the cap on it.
struct FlowGate {
    explicit FlowGate(std::size_t max) : maxLive(max) {}
    const std::size_t maxLive;
    std::atomic<std::size_t> live{0};
    // Takes a place; false when the cap is reached.
    bool enter() {
        std::size_t current = live.load(std::memory_order_relaxed);
        while (current < maxLive) {
            if (live.compare_exchange_weak(current, current + 1, std::memory_order_acq_rel)) return true;
        }
        return false;
    }
    void leave() {
        if (live.fetch_sub(1, std::memory_order_acq_rel) != 1 || !watched_.load(std::memory_order_acquire))
            return;
        std::lock_guard lock(mutex_);
        if (emptied_) emptied_();
    }
    // `told` runs (on the thread of the flow that leaves, under the gate's lock: it
    // must only post) each time the last live flow leaves, until it is set to null;
    // once that returns, it is no longer called.
    void whenEmptied(std::function<void()> told) {
        std::lock_guard lock(mutex_);
        emptied_ = std::move(told);
        watched_.store(static_cast<bool>(emptied_), std::memory_order_release);
    }

private:
    std::atomic<bool> watched_{false};
    std::mutex mutex_;
    std::function<void()> emptied_;  // mutex_
};

class HostUDPFlow final : public NEAppProxyUDPFlow, public std::enable_shared_from_this<HostUDPFlow> {
public:
    // The caller has entered `gate` for this flow.
    HostUDPFlow(std::shared_ptr<UDPListener> listener, const asio::ip::udp::endpoint& local,
                const asio::ip::udp::endpoint& client, std::vector<Datagram> batch, IoLoop& loop,
                std::shared_ptr<FlowGate> gate);
    // The same, from the thread's pool of blocks.
    static std::shared_ptr<HostUDPFlow> make(std::shared_ptr<UDPListener> listener,
                                             const asio::ip::udp::endpoint& local,
                                             const asio::ip::udp::endpoint& client,
                                             std::vector<Datagram> batch, IoLoop& loop,
                                             std::shared_ptr<FlowGate> gate);
    ~HostUDPFlow() override;
    HostUDPFlow(const HostUDPFlow&) = delete;
    HostUDPFlow& operator=(const HostUDPFlow&) = delete;

    Queue queue() const override { return queue_; }
    std::optional<NWEndpoint> localEndpoint() const override { return NWEndpoint(NWHostEndpoint(local_)); }
    void open(const NWHostEndpoint& localEndpoint, FlowCompletion completion) override;
    void readDatagrams(ReadCompletion completion) override;
    void writeDatagrams(std::vector<Datagram> datagrams, std::vector<NWEndpoint> endpoints,
                        FlowCompletion completion) override;
    void closeRead(std::optional<FlowError> error) override;
    void closeWrite(std::optional<FlowError> error) override;

private:
    void releaseIfClosed();
    // At once on the flow's own thread, else queued there. Asked of the thread's loop,
    // which needs no type-erased wrapper (an allocation) for the call.
    template <typename Work>
    void onQueue(Work&& work);

    std::shared_ptr<UDPListener> listener_;
    asio::ip::udp::endpoint local_;
    asio::ip::udp::endpoint client_;
    std::vector<Datagram> batch_;
    IoLoop& loop_;
    Queue queue_;
    std::shared_ptr<FlowGate> gate_;
    // Touched only on queue_.
    bool opened_ = false;
    bool batchTaken_ = false;
    bool readClosed_ = false;
    bool writeClosed_ = false;
    bool released_ = false;
};

}  // namespace platform::ne
