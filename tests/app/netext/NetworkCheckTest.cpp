// Path updates become `connected` on every satisfied update and `disconnected` once per loss,
// published on the main queue with the path; several instances publish on their own.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/netext/NetworkCheck.hpp"
#include "tests/app/netext/MonitorTestSupport.hpp"

namespace kiv {
namespace {

using platform::NWPath;
using testing_support::EventRecorder;

// A monitor whose updates the test hands in, on the queue NetworkCheck started it on.
class ScriptedMonitor final : public platform::NWPathMonitor {
public:
    void setPathUpdateHandler(UpdateHandler handler) override { handler_ = std::move(handler); }
    void start(platform::DispatchQueuePtr queue) override { queue_ = std::move(queue); }
    void cancel() override { cancelled = true; }
    NWPath currentPath() const override { return path_; }

    void deliver(const NWPath& path) {
        path_ = path;
        if (!cancelled && handler_) queue_->sync([&] { handler_(path); });
    }

    bool cancelled = false;

private:
    UpdateHandler handler_;
    platform::DispatchQueuePtr queue_;
    NWPath path_;
};

NWPath pathWith(NWPath::Status status) {
    NWPath path;
    path.status = status;
    if (status == NWPath::Status::satisfied) {
        path.interfaceNames = {"eth0"};
        path.supportsIPv4 = true;
    }
    return path;
}

constexpr auto S = NWPath::Status::satisfied;
constexpr auto U = NWPath::Status::unsatisfied;
constexpr auto R = NWPath::Status::requiresConnection;

struct PathCase {
    const char* name;
    std::vector<NWPath::Status> updates;
    std::vector<std::string> published;
    ChangeType last;
};

void PrintTo(const PathCase& c, std::ostream* out) { *out << c.name; }

class NetworkCheckSequenceTest : public testing::TestWithParam<PathCase> {};

TEST_P(NetworkCheckSequenceTest, PublishesAsThePathChanges) {
    EventRecorder recorder;
    EventRecorder::drain();
    auto monitor = std::make_shared<ScriptedMonitor>();
    NetworkCheck check(monitor, Injected<NotificationPublisher>([&] { return recorder.publisher(); }));
    EXPECT_EQ(check.lastStatus(), ChangeType::disconnected);
    for (auto status : GetParam().updates) monitor->deliver(pathWith(status));
    EXPECT_TRUE(recorder.names().empty());  // nothing before the main loop turns
    EventRecorder::drain();
    EXPECT_EQ(recorder.names(), GetParam().published);
    EXPECT_EQ(check.lastStatus(), GetParam().last);
    for (const auto& object : recorder.objects()) {
        ASSERT_NE(std::any_cast<NWPath>(&object), nullptr);  // every event carries the path
    }
    if (!GetParam().updates.empty()) {
        EXPECT_EQ(check.isSatisfied(), GetParam().updates.back() == S);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Updates, NetworkCheckSequenceTest,
    testing::ValuesIn(std::vector<PathCase>{
        {"UnsatisfiedFirst", {U}, {}, ChangeType::disconnected},
        {"TwoSatisfied", {S, S}, {"connected", "connected"}, ChangeType::connected},
        {"SatisfiedThenTwoUnsatisfied", {S, U, U}, {"connected", "disconnected"}, ChangeType::disconnected},
        {"RequiresConnectionIsNotSatisfied",
         {S, R, U},
         {"connected", "disconnected"},
         ChangeType::disconnected},
        {"LostAndBack",
         {S, U, S, U},
         {"connected", "disconnected", "connected", "disconnected"},
         ChangeType::disconnected},
        {"NoUpdates", {}, {}, ChangeType::disconnected},
    }),
    [](const auto& info) { return std::string(info.param.name); });

TEST(NetworkCheckTest, EveryInstancePublishesOnItsOwn) {
    EventRecorder recorder;
    EventRecorder::drain();
    auto first = std::make_shared<ScriptedMonitor>();
    auto second = std::make_shared<ScriptedMonitor>();
    Injected<NotificationPublisher> publisher([&] { return recorder.publisher(); });
    NetworkCheck a(first, publisher), b(second, publisher);
    first->deliver(pathWith(S));
    second->deliver(pathWith(S));
    EventRecorder::drain();
    EXPECT_EQ(recorder.names(), (std::vector<std::string>{"connected", "connected"}));
}

TEST(NetworkCheckTest, UpdateOnItsWayWhenDestroyedIsDropped) {
    EventRecorder recorder;
    EventRecorder::drain();
    auto monitor = std::make_shared<ScriptedMonitor>();
    {
        NetworkCheck check(monitor, Injected<NotificationPublisher>([&] { return recorder.publisher(); }));
        monitor->deliver(pathWith(S));  // handed to the main queue, not yet run
    }
    EXPECT_TRUE(monitor->cancelled);
    EventRecorder::drain();
    EXPECT_TRUE(recorder.names().empty());
}

}  // namespace
}  // namespace kiv
