#pragma once
// Test double of a client UDP flow: the test sets what open and read report, and
// reads back what was written and how the flow was closed. Completions run later
// on the flow's queue, as the platform's do.
#include <asio/post.hpp>
#include <optional>
#include <vector>

#include "platform/ne/NEAppProxyFlow.hpp"

namespace fakes {

using platform::ne::FlowError;
using platform::ne::NWEndpoint;
using platform::ne::NWHostEndpoint;

inline NWEndpoint hostEndpoint(const std::string& address, const std::string& port) {
    return NWEndpoint(*NWHostEndpoint::make(address, port));
}

class FakeUDPFlow final : public platform::ne::NEAppProxyUDPFlow,
                          public std::enable_shared_from_this<FakeUDPFlow> {
public:
    explicit FakeUDPFlow(platform::ne::Queue queue) : queue_(std::move(queue)) {}

    platform::ne::Queue queue() const override { return queue_; }
    std::optional<NWEndpoint> localEndpoint() const override { return local; }
    void open(const NWHostEndpoint&, platform::ne::FlowCompletion completion) override {
        ++openCalls;
        asio::post(queue_, [self = shared_from_this(), completion = std::move(completion)] {
            completion(self->openError);
        });
    }
    void readDatagrams(platform::ne::ReadCompletion completion) override {
        ++readCalls;
        asio::post(queue_, [self = shared_from_this(), completion = std::move(completion)] {
            completion(self->readDatagramsResult, self->readEndpointsResult, self->readError);
        });
    }
    void writeDatagrams(std::vector<platform::ne::Datagram> datagrams, std::vector<NWEndpoint> endpoints,
                        platform::ne::FlowCompletion completion) override {
        written.push_back({std::move(datagrams), std::move(endpoints)});
        asio::post(queue_, [self = shared_from_this(), completion = std::move(completion)] {
            completion(self->writeError);
        });
    }
    void closeRead(std::optional<FlowError>) override { ++closeReadCalls; }
    void closeWrite(std::optional<FlowError>) override { ++closeWriteCalls; }

    struct Write {
        std::vector<platform::ne::Datagram> datagrams;
        std::vector<NWEndpoint> endpoints;
    };

    std::optional<NWEndpoint> local = hostEndpoint("127.0.0.1", "53");
    std::optional<FlowError> openError;
    std::optional<std::vector<platform::ne::Datagram>> readDatagramsResult =
        std::vector<platform::ne::Datagram>{};
    std::optional<std::vector<NWEndpoint>> readEndpointsResult = std::vector<NWEndpoint>{};
    std::optional<FlowError> readError;
    std::optional<FlowError> writeError;
    int openCalls = 0;
    int readCalls = 0;
    int closeReadCalls = 0;
    int closeWriteCalls = 0;
    std::vector<Write> written;

private:
    platform::ne::Queue queue_;
};

}  // namespace fakes
