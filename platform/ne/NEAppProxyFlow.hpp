#pragma once
// The flows that the provider host hands to a DNS-proxy provider. A flow is an
// interface so that tests can script one. Completions run on the flow's queue(),
// which the provider may share (an upstream connection started on it is
// serialised with the flow): later, or, for a call made on that queue, possibly
// before the call returns, so a caller does nothing after a call that relies on
// the completion not having run. Destroying the last
// reference to a flow that was not closed closes it.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/InlineFunction.hpp"
#include "platform/ne/NWEndpoint.hpp"
#include "platform/ne/Queue.hpp"

namespace platform::ne {

using Datagram = std::vector<std::uint8_t>;

// The platform's flow error codes.
struct FlowError {
    enum class Code {
        notConnected = 1,
        peerReset,
        hostUnreachable,
        invalidArgument,
        aborted,
        refused,
        timedOut,
        internal,
        datagramTooLarge,
        readAlreadyPending,
    };
    Code code;
    std::string localizedDescription() const;
    friend bool operator==(const FlowError&, const FlowError&) = default;
};

// Completions are move-only and keep small captures in place (no heap block per call).
using FlowCompletion = platform::InlineFunction<void(std::optional<FlowError>)>;
// Datagrams and the endpoints they came from, paired by position; both absent on error.
using ReadCompletion = platform::InlineFunction<void(
    std::optional<std::vector<Datagram>>, std::optional<std::vector<NWEndpoint>>, std::optional<FlowError>)>;

class NEAppProxyFlow {
public:
    virtual ~NEAppProxyFlow() = default;
    // Stable while the flow lives.
    virtual std::size_t hash() const { return std::hash<const void*>{}(this); }
    virtual Queue queue() const = 0;
};

class NEAppProxyUDPFlow : public NEAppProxyFlow {
public:
    // The address that the client sent to.
    virtual std::optional<NWEndpoint> localEndpoint() const = 0;
    virtual void open(const NWHostEndpoint& localEndpoint, FlowCompletion completion) = 0;
    virtual void readDatagrams(ReadCompletion completion) = 0;
    virtual void writeDatagrams(std::vector<Datagram> datagrams, std::vector<NWEndpoint> endpoints,
                                FlowCompletion completion) = 0;
    virtual void closeRead(std::optional<FlowError> error) = 0;
    virtual void closeWrite(std::optional<FlowError> error) = 0;
};

}  // namespace platform::ne
