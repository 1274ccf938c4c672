#pragma once
// Test double of the network connection: records what is sent, holds the pending
// receives until the test answers them, and delivers states the test scripts.
// Like the real one it posts state updates to its queue and calls nothing once
// cancelled. Sends complete (on the queue) with `sendError` (none by default).
#include <asio/post.hpp>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ne/NWConnection.hpp"

namespace fakes {

using platform::ne::ContentContext;
using platform::ne::Datagram;
using platform::ne::NWConnectionState;
using platform::ne::NWError;

class FakeNWConnection final : public platform::ne::NWConnection,
                               public std::enable_shared_from_this<FakeNWConnection> {
public:
    struct Sent {
        Datagram content;
        ContentContext context;
        bool isComplete;
        bool inBatch;
    };

    FakeNWConnection(std::string host, std::uint16_t port) : host(std::move(host)), port(port) {}

    // Held by a shared_ptr: a handler may replace itself while it runs.
    void setStateUpdateHandler(StateUpdateHandler handler) override {
        handler_ = handler ? std::make_shared<StateUpdateHandler>(std::move(handler)) : nullptr;
    }
    bool hasStateUpdateHandler() const override { return static_cast<bool>(handler_); }
    NWConnectionState state() const override { return state_; }

    void start(platform::ne::Queue queue) override {
        queue_ = std::move(queue);
        started = true;
    }
    void cancel() override {
        ++cancelCalls;
        if (cancelled) return;
        cancelled = true;
        receives_.clear();
        deliver({NWConnectionState::Kind::cancelled, std::nullopt});
    }
    void restart() override { ++restartCalls; }
    void cancelCurrentEndpoint() override { ++cancelCurrentEndpointCalls; }

    void batch(const std::function<void()>& block) override {
        inBatch_ = true;
        block();
        inBatch_ = false;
    }
    void send(Datagram content, ContentContext context, bool isComplete, SendCompletion completion) override {
        if (cancelled) return;
        sent.push_back({std::move(content), context, isComplete, inBatch_});
        asio::post(*queue_, [self = shared_from_this(), completion = std::move(completion)] {
            if (!self->cancelled && completion) completion(self->sendError);
        });
    }
    void receiveMessage(ReceiveCompletion completion) override {
        if (cancelled) return;
        ++receiveCalls;
        receives_.push_back(std::move(completion));
    }

    // Script: a state reaches the handler (later, on the queue).
    void deliver(NWConnectionState state) {
        state_ = state;
        asio::post(*queue_, [self = shared_from_this(), state] {
            if (auto handler = self->handler_) (*handler)(state);
        });
    }
    std::size_t pendingReceives() const { return receives_.size(); }
    // Script: the oldest pending receive completes with `content` (or `error`).
    void reply(std::optional<Datagram> content, std::optional<NWError> error = std::nullopt) {
        auto completion = std::move(receives_.front());
        receives_.pop_front();
        asio::post(*queue_, [self = shared_from_this(), completion = std::move(completion), content, error] {
            if (!self->cancelled) completion(content, ContentContext::defaultMessage, true, error);
        });
    }

    const std::string host;
    const std::uint16_t port;
    bool started = false;
    bool cancelled = false;
    int cancelCalls = 0;
    int restartCalls = 0;
    int cancelCurrentEndpointCalls = 0;
    int receiveCalls = 0;
    std::optional<NWError> sendError;
    std::vector<Sent> sent;

private:
    std::optional<platform::ne::Queue> queue_;
    std::shared_ptr<StateUpdateHandler> handler_;
    NWConnectionState state_;
    bool inBatch_ = false;
    std::deque<ReceiveCompletion> receives_;
};

// A connection factory that keeps every connection it made.
struct FakeConnectionFactory {
    std::shared_ptr<std::vector<std::shared_ptr<FakeNWConnection>>> made =
        std::make_shared<std::vector<std::shared_ptr<FakeNWConnection>>>();
    platform::ne::NWConnectionFactory factory() const {
        return [made = made](const std::string& host, std::uint16_t port) -> platform::ne::NWConnectionPtr {
            auto connection = std::make_shared<FakeNWConnection>(host, port);
            made->push_back(connection);
            return connection;
        };
    }
    std::shared_ptr<FakeNWConnection> last() const { return made->empty() ? nullptr : made->back(); }
};

}  // namespace fakes
