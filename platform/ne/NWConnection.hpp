#pragma once
// The network-connection stand-in: one UDP association to one IP literal and port.
// States go setup/preparing -> ready, or waiting (with an error, may be restarted),
// or failed (with an error), and end in cancelled. Every handler and completion
// runs on the queue given to start(); after start() every call must come from that
// queue (before it, from the creator). cancel() calls no pending completion; the
// cancelled state still reaches the state-update handler that is set when it is
// delivered.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/InlineFunction.hpp"
#include "platform/ne/NEAppProxyFlow.hpp"
#include "platform/ne/NWError.hpp"
#include "platform/ne/Queue.hpp"

namespace platform::ne {

struct NWConnectionState {
    enum class Kind { setup, waiting, preparing, ready, failed, cancelled };
    Kind kind = Kind::setup;
    std::optional<NWError> error;  // for waiting and failed
    friend bool operator==(const NWConnectionState&, const NWConnectionState&) = default;
};

// Whether a message is the last one of the connection's output; UDP sends every
// message alike.
enum class ContentContext { defaultMessage, finalMessage };

class NWConnection {
public:
    // Move-only; small captures stay in place (no heap block per query).
    using StateUpdateHandler = platform::InlineFunction<void(const NWConnectionState&)>;
    using SendCompletion = platform::InlineFunction<void(std::optional<NWError>)>;
    using ReceiveCompletion =
        platform::InlineFunction<void(std::optional<Datagram> content, std::optional<ContentContext>,
                                      bool isComplete, std::optional<NWError>)>;

    virtual ~NWConnection() = default;

    virtual void setStateUpdateHandler(StateUpdateHandler handler) = 0;
    virtual bool hasStateUpdateHandler() const = 0;
    virtual NWConnectionState state() const = 0;

    virtual void start(Queue queue) = 0;
    virtual void cancel() = 0;
    // Tries the association again; nothing once cancelled.
    virtual void restart() = 0;
    virtual void cancelCurrentEndpoint() = 0;

    // Sends made inside `block` go out together.
    virtual void batch(const std::function<void()>& block) = 0;
    virtual void send(Datagram content, ContentContext context, bool isComplete,
                      SendCompletion completion) = 0;
    // One datagram per receive; receives are served in the order issued.
    virtual void receiveMessage(ReceiveCompletion completion) = 0;
};

using NWConnectionPtr = std::shared_ptr<NWConnection>;
// Makes a connection to `host` (an IP literal) and `port`; not started.
using NWConnectionFactory = std::function<NWConnectionPtr(const std::string& host, std::uint16_t port)>;

}  // namespace platform::ne
