// Publishing change events: handed to the main queue, delivered when the main loop turns, with
// the object given and in the order published.
#include <gtest/gtest.h>

#include <any>
#include <string>
#include <thread>
#include <vector>

#include "app/core/Dependencies.hpp"
#include "app/core/NotificationPublisher.hpp"
#include "model/DeviceConfiguration.hpp"
#include "platform/Dispatch.hpp"

namespace kiv {
namespace {

using namespace std::chrono_literals;

class NotificationPublisherTest : public ::testing::Test {
protected:
    // This thread turns the main loop; every test starts and ends with it empty.
    void SetUp() override {
        drain();
        for (ChangeType type : allCases()) {
            observations.push_back(center.addObserver(std::string(rawValue(type)), nullptr,
                                                      [this](const platform::Notification& n) {
                                                          EXPECT_TRUE(platform::isMainThread());
                                                          received.push_back(n);
                                                      }));
        }
    }
    void TearDown() override { drain(); }
    static void drain() {
        while (platform::runMainLoopOnce(0ms)) {
        }
    }

    platform::NotificationCenter center;
    NotificationPublisher publisher{&center};
    std::vector<platform::Observation> observations;
    std::vector<platform::Notification> received;  // touched only by the thread turning the loop
};

TEST_F(NotificationPublisherTest, PublishFromAnotherThreadIsDeliveredWhenTheMainLoopTurns) {
    auto configuration = model::DeviceConfiguration::fromJSONString(
        R"({"id":7,"jsonrpc":"2.0","result":{"cfg":{"persistent":{"key":"k"}}}})", model::TextEncoding::utf8);
    ASSERT_TRUE(configuration);

    std::thread background([&] {
        publisher.publish(ChangeType::deviceConfigRefreshed, *configuration);
        publisher.publish(ChangeType::deviceConfigRefreshed);
    });
    background.join();
    EXPECT_TRUE(received.empty());  // the publisher returned; nothing turned the loop yet

    EXPECT_TRUE(platform::runMainLoopOnce(0ms));
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].name, "deviceConfigRefreshed");
    const auto* carried = std::any_cast<model::DeviceConfiguration>(&received[0].object);
    ASSERT_NE(carried, nullptr);
    EXPECT_EQ(*carried->jsonString(model::TextEncoding::utf8),
              *configuration->jsonString(model::TextEncoding::utf8));
    EXPECT_EQ(received[1].name, "deviceConfigRefreshed");
    EXPECT_FALSE(received[1].object.has_value());
}

TEST_F(NotificationPublisherTest, PostsFromOneThreadKeepTheirOrder) {
    std::thread background([&] {
        for (int round = 0; round < 50; ++round) {
            for (ChangeType type : allCases()) publisher.publish(type, round);
        }
    });
    // Turn the loop while the other thread is still publishing.
    while (received.size() < 50 * kChangeTypeCount) platform::runMainLoopOnce(100ms);
    background.join();
    for (std::size_t i = 0; i < received.size(); ++i) {
        ASSERT_EQ(received[i].name, rawValue(allCases()[i % kChangeTypeCount])) << i;
        ASSERT_EQ(std::any_cast<int>(received[i].object), static_cast<int>(i / kChangeTypeCount)) << i;
    }
}

TEST(NotificationPublisherService, OneGlobalPublisherOnTheDefaultCentre) {
    Dependencies registry(notificationPublisherService());
    auto publisher = registry.resolve<NotificationPublisher>();
    EXPECT_EQ(publisher, registry.resolve<NotificationPublisher>());
    EXPECT_EQ(publisher->notificationCenter(), &platform::NotificationCenter::defaultCenter());
}

}  // namespace
}  // namespace kiv
