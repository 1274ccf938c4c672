// The facade: attaching, delivery, lazy messages, thread labels and synchronous destinations.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "LoggerTestSupport.hpp"
#include "app/Logger/ConsoleDestination.hpp"
#include "app/Logger/Filters.hpp"
#include "app/Logger/LogFacility.hpp"

namespace kiv {
namespace {

using L = LogFacilityLevel;

struct Delivered {
    L level;
    std::string message, thread, file, function;
    int line;
    std::optional<LogContext> context;
};

// Records what send() receives.
class RecordingDestination : public BaseDestination {
public:
    RecordingDestination() : BaseDestination(testing::fixedEnvironment()) {}
    std::optional<std::string> send(L level, const std::string& message, const std::string& thread,
                                    const std::string& file, const std::string& function, int line,
                                    const std::optional<LogContext>& context) override {
        std::lock_guard lock(mutex);
        received.push_back({level, message, thread, file, function, line, context});
        return message;
    }
    std::vector<Delivered> calls() {
        testing::drain(*this);
        std::lock_guard lock(mutex);
        return received;
    }

    std::mutex mutex;
    std::vector<Delivered> received;
};

using LogFacilityTest = testing::FacilityTest;

TEST(LogFacilityLevels, RawValues) {
    EXPECT_EQ(logFacilityLevelFromRawValue(0), L::verbose);
    EXPECT_EQ(logFacilityLevelFromRawValue(1), L::debug);
    EXPECT_EQ(logFacilityLevelFromRawValue(2), L::info);
    EXPECT_EQ(logFacilityLevelFromRawValue(3), L::warning);
    EXPECT_EQ(logFacilityLevelFromRawValue(4), L::error);
    EXPECT_EQ(logFacilityLevelFromRawValue(5), std::nullopt);
    EXPECT_EQ(logFacilityLevelFromRawValue(-1), std::nullopt);
    EXPECT_TRUE(isAtOrAbove(L::warning, L::info));
    for (L other : {L::debug, L::info, L::warning, L::error}) EXPECT_FALSE(isAtOrAbove(L::verbose, other));
}

TEST_F(LogFacilityTest, NoDestinationDoesNotEvaluateTheMessage) {
    int evaluated = 0;
    LogFacility::logError([&] { return ++evaluated, std::string("m"); }, "f", "g", 1);
    EXPECT_EQ(evaluated, 0);
}

TEST_F(LogFacilityTest, AttachIsByObject) {
    auto console = std::make_shared<ConsoleDestination>(testing::fixedEnvironment());
    EXPECT_TRUE(LogFacility::attach(console));
    EXPECT_FALSE(LogFacility::attach(console));
    EXPECT_EQ(LogFacility::countDestinations(), 1);
    EXPECT_TRUE(LogFacility::attach(std::make_shared<ConsoleDestination>(testing::fixedEnvironment())));
    EXPECT_EQ(LogFacility::countDestinations(), 2);
    EXPECT_FALSE(LogFacility::detach(std::make_shared<ConsoleDestination>(testing::fixedEnvironment())));
    EXPECT_EQ(LogFacility::countDestinations(), 2);
    EXPECT_TRUE(LogFacility::detach(console));
    EXPECT_FALSE(LogFacility::detach(console));
    LogFacility::detachAll();
    EXPECT_EQ(LogFacility::countDestinations(), 0);
}

TEST_F(LogFacilityTest, DeliversTheCallWithShortFunctionName) {
    auto destination = std::make_shared<RecordingDestination>();
    LogFacility::attach(destination);
    LogFacility::logWarning([] { return 42; }, "/x/a.cpp", "doWork(int, int)", 17, LogContext{{"k", 1}});
    LogFacility::logInfo("text", "/x/a.cpp", "body", 18);
    auto calls = destination->calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].level, L::warning);
    EXPECT_EQ(calls[0].message, "42");
    EXPECT_EQ(calls[0].file, "/x/a.cpp");
    EXPECT_EQ(calls[0].function, "doWork()");
    EXPECT_EQ(calls[0].line, 17);
    EXPECT_EQ(calls[0].context, LogContext({{"k", 1}}));
    EXPECT_EQ(calls[1].function, "body()");
    EXPECT_EQ(calls[1].level, L::info);
    EXPECT_FALSE(calls[1].context);
}

TEST_F(LogFacilityTest, LevelOperationsPassTheirLevel) {
    auto destination = std::make_shared<RecordingDestination>();
    LogFacility::attach(destination);
    LogFacility::logVerbose("v", "", "", 0);
    LogFacility::logDebug("d", "", "", 0);
    LogFacility::logInfo("i", "", "", 0);
    LogFacility::logWarning("w", "", "", 0);
    LogFacility::logError("e", "", "", 0);
    std::vector<L> levels;
    for (const auto& call : destination->calls()) levels.push_back(call.level);
    EXPECT_EQ(levels, (std::vector<L>{L::verbose, L::debug, L::info, L::warning, L::error}));
}

TEST_F(LogFacilityTest, MessageEvaluatedOnceAndOnlyWhenNeeded) {
    auto a = std::make_shared<RecordingDestination>();
    auto b = std::make_shared<RecordingDestination>();
    a->minLevel = L::info;
    b->minLevel = L::info;
    LogFacility::attach(a);
    LogFacility::attach(b);
    int evaluated = 0;
    auto message = [&] { return ++evaluated, std::string("m"); };
    LogFacility::logDebug(message, "", "", 0);
    EXPECT_EQ(evaluated, 0);
    LogFacility::logError(message, "", "", 0);
    EXPECT_EQ(evaluated, 1);
    EXPECT_EQ(a->calls().size(), 1u);
    EXPECT_EQ(b->calls().size(), 1u);

    // A message filter needs the text even when the call is then refused.
    b->addFilter(Filters::message::contains({"zzz"}, true, true));
    LogFacility::logDebug(message, "", "", 0);
    EXPECT_EQ(evaluated, 2);
    EXPECT_EQ(b->calls().size(), 1u);
}

TEST_F(LogFacilityTest, DestinationWithoutQueueIsSkipped) {
    auto destination = std::make_shared<RecordingDestination>();
    destination->queue = nullptr;
    LogFacility::attach(destination);
    int evaluated = 0;
    LogFacility::logError([&] { return ++evaluated, std::string("m"); }, "", "", 0);
    EXPECT_EQ(evaluated, 0);
    EXPECT_TRUE(destination->received.empty());
}

TEST_F(LogFacilityTest, ThreadLabels) {
    auto destination = std::make_shared<RecordingDestination>();
    LogFacility::attach(destination);
    LogFacility::logInfo("main", "", "", 0);
    auto worker = platform::makeSerialQueue("com.example.worker");
    worker->async([] { LogFacility::logInfo("queue", "", "", 0); });
    worker->sync([] {});
    auto calls = destination->calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].thread, "");
    EXPECT_EQ(calls[1].thread, "com.example.worker");
}

TEST_F(LogFacilityTest, SynchronousDestinationWaitsAndRunsInlineOnItsOwnQueue) {
    auto destination = std::make_shared<RecordingDestination>();
    destination->asynchronously = false;
    LogFacility::attach(destination);
    LogFacility::logInfo("outside", "", "", 0);
    {
        std::lock_guard lock(destination->mutex);
        EXPECT_EQ(destination->received.size(), 1u);  // written before the call returned
    }
    // Logging from the destination's own queue must not wait for itself.
    destination->queue->async([] { LogFacility::logInfo("inside", "", "", 0); });
    auto calls = destination->calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].message, "inside");
    EXPECT_EQ(calls[1].thread, destination->queue->label());
}

TEST_F(LogFacilityTest, OneDestinationKeepsSubmissionOrder) {
    auto destination = std::make_shared<RecordingDestination>();
    LogFacility::attach(destination);
    for (int i = 0; i < 500; ++i) LogFacility::logInfo([i] { return i; }, "", "", 0);
    auto calls = destination->calls();
    ASSERT_EQ(calls.size(), 500u);
    for (int i = 0; i < 500; ++i) EXPECT_EQ(calls[i].message, std::to_string(i));
}

TEST_F(LogFacilityTest, AttachAndDetachWhileOthersLog) {
    auto steady = std::make_shared<RecordingDestination>();
    LogFacility::attach(steady);
    std::atomic<bool> stop{false};
    std::vector<std::thread> loggers;
    for (int t = 0; t < 4; ++t) {
        loggers.emplace_back([&stop] {
            while (!stop.load()) LogFacility::logInfo("x", "", "", 0);
        });
    }
    for (int i = 0; i < 300; ++i) {
        auto passing = std::make_shared<RecordingDestination>();
        EXPECT_TRUE(LogFacility::attach(passing));
        EXPECT_TRUE(LogFacility::detach(passing));
    }
    stop = true;
    for (auto& t : loggers) t.join();
    EXPECT_EQ(LogFacility::countDestinations(), 1);
    EXPECT_FALSE(steady->calls().empty());
}

TEST(LogFacilityNames, ShortFunctionName) {
    EXPECT_EQ(LogFacility::shortFunctionName("doWork(int, int)"), "doWork()");
    EXPECT_EQ(LogFacility::shortFunctionName("body"), "body()");
    EXPECT_EQ(LogFacility::shortFunctionName("log(const std::string&, model::LogLevel)"), "log()");
    EXPECT_EQ(LogFacility::shortFunctionName(""), "()");
}

TEST(BaseDestinationQueue, LabelIsPrefixAndUpperCaseUUID) {
    BaseDestination a(testing::fixedEnvironment());
    BaseDestination b(testing::fixedEnvironment());
    const std::string& label = a.queue->label();
    ASSERT_EQ(label.size(), std::string(BaseDestination::kQueueLabelPrefix).size() + 36);
    EXPECT_EQ(label.rfind(BaseDestination::kQueueLabelPrefix, 0), 0u);
    const std::string uuid = label.substr(label.size() - 36);
    for (std::size_t i = 0; i < uuid.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            EXPECT_EQ(uuid[i], '-');
        } else {
            EXPECT_TRUE(std::isdigit(uuid[i]) || (uuid[i] >= 'A' && uuid[i] <= 'F')) << uuid;
        }
    }
    EXPECT_NE(label, b.queue->label());
    EXPECT_TRUE(a.queue->isSerial());
}

TEST(BaseDestinationQueue, ExecuteSynchronouslyReturnsAndRethrows) {
    BaseDestination destination(testing::fixedEnvironment());
    EXPECT_EQ(destination.executeSynchronously([] { return 7; }), 7);
    EXPECT_THROW(destination.executeSynchronously([]() -> int { throw std::runtime_error("x"); }),
                 std::runtime_error);
    bool ran = false;
    destination.execute(true, [&] { ran = true; });
    EXPECT_TRUE(ran);
}

TEST(BaseDestinationQueueDeathTest, MissingQueueStops) {
    BaseDestination destination(testing::fixedEnvironment());
    destination.queue = nullptr;
    EXPECT_DEATH(destination.execute(false, [] {}), "Queue not set");
}

}  // namespace
}  // namespace kiv
