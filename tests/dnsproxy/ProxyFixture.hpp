#pragma once
// What the extension's unit tests share: one io_context that the test turns, a
// serial queue on it, the test's clock, fake upstream connections with settings
// that use them, a client endpoint and the captured log.
#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <memory>

#include "LogLines.hpp"
#include "dnsproxy/ProxySettings.hpp"
#include "fakes/ne/FakeNWConnection.hpp"
#include "fakes/ne/FakeUDPFlow.hpp"
#include "platform/Clock.hpp"

namespace testing_dnsproxy {

class ProxyFixture : public ::testing::Test {
public:
    ProxyFixture() {
        settings.connectionFactory = factory.factory();
        settings.clock = clock;
        settings.resolvConfPath = "/nonexistent/resolv.conf";
    }

    asio::io_context io;
    platform::ne::Queue queue = platform::ne::makeQueue(io);
    std::shared_ptr<platform::ManualClock> clock = std::make_shared<platform::ManualClock>();
    fakes::FakeConnectionFactory factory;
    dnsproxy::ProxySettings settings;
    platform::ne::NWEndpoint client = fakes::hostEndpoint("127.0.0.1", "40000");
    LogLines logs;
};

}  // namespace testing_dnsproxy
