#include "platform/ne/HostUDPFlow.hpp"

#include <asio/post.hpp>

#include "platform/BlockPool.hpp"
#include "platform/Recycled.hpp"

namespace platform::ne {

HostUDPFlow::HostUDPFlow(std::shared_ptr<UDPListener> listener, const asio::ip::udp::endpoint& local,
                         const asio::ip::udp::endpoint& client, std::vector<Datagram> batch, IoLoop& loop,
                         std::shared_ptr<FlowGate> gate)
    : listener_(std::move(listener)),
      local_(local),
      client_(client),
      batch_(std::move(batch)),
      loop_(loop),
      queue_(loop.queue()),
      gate_(std::move(gate)) {}

std::shared_ptr<HostUDPFlow> HostUDPFlow::make(std::shared_ptr<UDPListener> listener,
                                               const asio::ip::udp::endpoint& local,
                                               const asio::ip::udp::endpoint& client,
                                               std::vector<Datagram> batch, IoLoop& loop,
                                               std::shared_ptr<FlowGate> gate) {
    return makePooled<HostUDPFlow>(std::move(listener), local, client, std::move(batch), loop,
                                   std::move(gate));
}

template <typename Work>
void HostUDPFlow::onQueue(Work&& work) {
    // At once, the caller's reference keeps the flow; queued, the work holds it.
    if (loop_.runningHere()) {
        work(*this);
    } else {
        loop_.post([self = shared_from_this(), work = std::forward<Work>(work)]() mutable { work(*self); });
    }
}

HostUDPFlow::~HostUDPFlow() {
    if (!released_ && gate_) gate_->leave();
}

void HostUDPFlow::releaseIfClosed() {
    if (released_ || !readClosed_ || !writeClosed_) return;
    released_ = true;
    batch_.clear();
    gate_->leave();
}

void HostUDPFlow::open(const NWHostEndpoint& localEndpoint, FlowCompletion completion) {
    onQueue([localEndpoint, completion = std::move(completion)](HostUDPFlow& flow) {
        auto* self = &flow;
        std::optional<FlowError> error;
        if (self->opened_ || self->readClosed_ || self->writeClosed_) {
            error = FlowError{FlowError::Code::invalidArgument};
        } else if (localEndpoint.endpoint() != self->local_) {
            error = FlowError{FlowError::Code::invalidArgument};
        } else {
            self->opened_ = true;
        }
        if (completion) completion(error);
    });
}

void HostUDPFlow::readDatagrams(ReadCompletion completion) {
    onQueue([completion = std::move(completion)](HostUDPFlow& flow) {
        auto* self = &flow;
        if (!completion) return;
        if (!self->opened_ || self->readClosed_) {
            completion(std::nullopt, std::nullopt, FlowError{FlowError::Code::notConnected});
            return;
        }
        if (self->batchTaken_) {  // detached: nothing more will come on this flow
            completion(std::vector<Datagram>{}, std::vector<NWEndpoint>{}, std::nullopt);
            return;
        }
        self->batchTaken_ = true;
        auto endpoints = Recycled<std::vector<NWEndpoint>>::take();
        endpoints.assign(self->batch_.size(), NWEndpoint(NWHostEndpoint(self->client_)));
        completion(std::move(self->batch_), std::move(endpoints), std::nullopt);
        self->batch_.clear();
    });
}

void HostUDPFlow::writeDatagrams(std::vector<Datagram> datagrams, std::vector<NWEndpoint> endpoints,
                                 FlowCompletion completion) {
    onQueue([datagrams = std::move(datagrams), endpoints = std::move(endpoints),
             completion = std::move(completion)](HostUDPFlow& flow) mutable {
        auto* self = &flow;
        std::optional<FlowError> error;
        // The thread's own list, kept from write to write: sendFrom is done with it
        // before it calls back.
        thread_local std::vector<const asio::ip::udp::endpoint*> destinations;
        destinations.clear();
        if (!self->opened_ || self->writeClosed_) {
            error = FlowError{FlowError::Code::notConnected};
        } else if (datagrams.size() != endpoints.size()) {
            error = FlowError{FlowError::Code::invalidArgument};
        } else {
            for (const auto& endpoint : endpoints) {
                const auto* host = hostEndpoint(endpoint);
                if (!host || host->endpoint().address().is_v4() != self->local_.address().is_v4()) {
                    error = FlowError{FlowError::Code::invalidArgument};
                    break;
                }
                destinations.push_back(&host->endpoint());
            }
        }
        if (error) {
            recycleAll(std::move(datagrams));
            Recycled<std::vector<NWEndpoint>>::give(std::move(endpoints));
            if (completion) completion(error);
            return;
        }
        // The writer hears once the replies are sent (on the ring, once the kernel
        // says so), with a failure as the client's reply being lost.
        self->listener_->sendFrom(
            datagrams, destinations, self->local_, [completion = std::move(completion)](int failed) {
                if (!completion) return;
                completion(failed ? std::optional<FlowError>(FlowError{FlowError::Code::hostUnreachable})
                                  : std::nullopt);
            });
        // Sent or copied (the listener keeps copies of what it still sends): their
        // memory serves the next queries of this thread.
        recycleAll(std::move(datagrams));
        Recycled<std::vector<NWEndpoint>>::give(std::move(endpoints));
    });
}

// Run like the writes (at once on the flow's queue, else queued behind what is
// already queued there): a write asked for before a close still goes out.
void HostUDPFlow::closeRead(std::optional<FlowError>) {
    onQueue([](HostUDPFlow& flow) {
        flow.readClosed_ = true;
        flow.releaseIfClosed();
    });
}

void HostUDPFlow::closeWrite(std::optional<FlowError>) {
    onQueue([](HostUDPFlow& flow) {
        flow.writeClosed_ = true;
        flow.releaseIfClosed();
    });
}

}  // namespace platform::ne
