// The application's helper client against a stand-in helper listening on a temporary run
// folder: one connection for many calls, the same authorization each time, outcomes only logged,
// and a new connection after the helper went missing.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "app/shell/KIVHelperProxy.hpp"
#include "fakes/TestFolders.hpp"
#include "helper/protocol/KIVHelperProtocol.hpp"
#include "platform/Dispatch.hpp"
#include "platform/SystemLog.hpp"
#include "platform/xpc/XPCListener.hpp"

namespace {

using namespace std::chrono_literals;

struct Received {
    std::string selector;
    platform::XPCArguments arguments;
    const platform::XPCConnection* connection;
};

// Records every request and answers each with `answer` (nothing: a nil reply).
class StandInHelper final : public platform::XPCListenerDelegate,
                            public std::enable_shared_from_this<StandInHelper> {
public:
    explicit StandInHelper(std::optional<std::int64_t> answer) : answer_(answer) {}

    bool start() {
        listener_ = platform::XPCListener::makeWithMachServiceName(helper::kHelperServiceName);
        listener_->setDelegate(weak_from_this());
        return listener_->resume();
    }
    ~StandInHelper() override {
        if (listener_) listener_->invalidate();
    }

    bool shouldAcceptNewConnection(platform::XPCListener&,
                                   const std::shared_ptr<platform::XPCConnection>& c) override {
        // Holds the stand-in weakly, and strongly while it answers: a test may end, and drop the
        // stand-in, as soon as the request is counted.
        struct Exported final : platform::XPCExportedObject {
            Exported(std::weak_ptr<StandInHelper> h, const platform::XPCConnection* c)
                : helper(std::move(h)), connection(c) {}
            void invoke(platform::XPCInvocation invocation) override {
                const auto self = helper.lock();
                if (!self) return;
                {
                    std::lock_guard guard(self->mutex_);
                    self->received_.push_back({invocation.selector, invocation.arguments, connection});
                }
                self->arrived_.signal();
                invocation.reply({self->answer_
                                      ? platform::XPCValue(platform::ErrorObject{
                                            std::string(platform::NSOSStatusErrorDomain), *self->answer_, {}})
                                      : platform::XPCValue()});
            }
            std::weak_ptr<StandInHelper> helper;
            const platform::XPCConnection* connection;
        };
        c->setExportedInterface(helper::kivHelperProtocol());
        c->setExportedObject(std::make_shared<Exported>(weak_from_this(), c.get()));
        c->resume();
        connections_.push_back(c);
        return true;
    }

    bool waitForRequests(std::size_t count) {
        for (;;) {
            {
                std::lock_guard guard(mutex_);
                if (received_.size() >= count) return true;
            }
            if (!arrived_.waitFor(10s)) return false;
        }
    }
    std::vector<Received> received() {
        std::lock_guard guard(mutex_);
        return received_;
    }

private:
    std::optional<std::int64_t> answer_;
    std::shared_ptr<platform::XPCListener> listener_;
    std::vector<std::shared_ptr<platform::XPCConnection>> connections_;
    std::mutex mutex_;
    std::vector<Received> received_;
    platform::Semaphore arrived_;
};

// The proxy's log lines, in order.
class ProxyLog {
public:
    ProxyLog()
        : capture_([this](const platform::LogRecord& record) {
              if (record.category != "KIVHelperProxy") return;
              std::lock_guard guard(mutex_);
              lines_.push_back(record.message);
              added_.signal();
          }) {}
    // Waits until `count` lines arrived; all lines so far.
    std::vector<std::string> waitFor(std::size_t count) {
        for (;;) {
            {
                std::lock_guard guard(mutex_);
                if (lines_.size() >= count) return lines_;
            }
            if (!added_.waitFor(10s)) {
                std::lock_guard guard(mutex_);
                return lines_;
            }
        }
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
    platform::Semaphore added_;
    platform::LogCapture capture_;
};

class KIVHelperProxyTest : public ::testing::Test {
protected:
    kiv::fakes::TemporaryFolder folder_{"kiv-proxy"};
    kiv::fakes::ScopedEnvironment run_{"KIV_RUN_DIR", folder_.path().string()};
    // A rights database that defines every right, so that set-up reports nothing.
    helper::RightsDatabase rights_{folder_.path() / "rights"};
};

TEST_F(KIVHelperProxyTest, TwoFlushesShareOneConnectionAndOneAuthorization) {
    auto standIn = std::make_shared<StandInHelper>(std::nullopt);
    ASSERT_TRUE(standIn->start());
    kiv::KIVHelperProxy proxy(rights_);
    ASSERT_TRUE(proxy.authorization().has_value());
    EXPECT_EQ(proxy.authorization()->size(), 32u);
    proxy.flushDNS();
    proxy.flushDNS();
    ASSERT_TRUE(standIn->waitForRequests(2));
    const auto received = standIn->received();
    EXPECT_EQ(received[0].selector, helper::selector::flushDNS);
    EXPECT_EQ(received[0].connection, received[1].connection);
    EXPECT_EQ(*received[0].arguments.back().data(), *proxy.authorization());
    EXPECT_EQ(*received[1].arguments.back().data(), *proxy.authorization());
}

struct RefusalCase {
    std::string name;
    std::function<void(kiv::KIVHelperProxy&)> command;
    std::vector<std::string> lines;
};

class KIVHelperProxyRefusalTest : public KIVHelperProxyTest,
                                  public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(KIVHelperProxyRefusalTest, LogsTheHelpersAnswer) {
    auto standIn = std::make_shared<StandInHelper>(std::int64_t{-60005});
    ASSERT_TRUE(standIn->start());
    ProxyLog log;
    kiv::KIVHelperProxy proxy(rights_);
    const std::size_t before = log.waitFor(0).size();  // the rights report of set-up
    GetParam().command(proxy);
    const auto lines = log.waitFor(before + GetParam().lines.size());
    EXPECT_EQ(std::vector<std::string>(lines.begin() + static_cast<long>(before), lines.end()),
              GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, KIVHelperProxyRefusalTest,
    ::testing::Values(
        RefusalCase{"Flush", [](auto& p) { p.flushDNS(); }, {"Error NSOSStatusErrorDomain (-60005)"}},
        RefusalCase{
            "LogDebug", [](auto& p) { p.updateLogDebug(true); }, {"Error NSOSStatusErrorDomain (-60005)"}},
        RefusalCase{"SetResolvers",
                    [](auto& p) { p.setDNSResolvers({"192.0.2.1"}, {"eth0"}); },
                    {"Failed to change DNS settings", "Error NSOSStatusErrorDomain (-60005)"}},
        RefusalCase{"Rollback",
                    [](auto& p) { p.rollbackDNSResolvers(); },
                    {"Failed to rollback DNS settings", "Error NSOSStatusErrorDomain (-60005)"}},
        RefusalCase{"RollbackServices",
                    [](auto& p) { p.rollbackDNSForServices({"eth0"}); },
                    {"Failed to rollback DNS settings", "Error NSOSStatusErrorDomain (-60005)"}}),
    [](const auto& info) { return info.param.name; });

TEST_F(KIVHelperProxyTest, AMissingHelperIsLoggedAndTheNextCallConnectsAnew) {
    ProxyLog log;
    kiv::KIVHelperProxy proxy(rights_);
    const std::size_t before = log.waitFor(0).size();
    proxy.flushDNS();
    const auto lines = log.waitFor(before + 1);
    ASSERT_GT(lines.size(), before);
    EXPECT_EQ(lines[before].rfind("Error NSCocoaErrorDomain (", 0), 0u) << lines[before];
    // The invalidated connection is forgotten on the main queue.
    for (int turn = 0; turn < 200 && proxy.helperToolConnection(); ++turn) platform::runMainLoopOnce(50ms);
    EXPECT_EQ(proxy.helperToolConnection(), nullptr);

    auto standIn = std::make_shared<StandInHelper>(std::nullopt);
    ASSERT_TRUE(standIn->start());
    proxy.flushDNS();
    EXPECT_TRUE(standIn->waitForRequests(1));
}

}  // namespace
