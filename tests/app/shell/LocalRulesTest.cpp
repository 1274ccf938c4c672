// The local-rules window's controller through a stand-in view: the checks and their messages, the
// rule kept as the test rule, its JSON text, and the stored configuration published with the rule
// added (the stored configuration itself untouched).
#include <gtest/gtest.h>

#include <map>

#include "app/server/CommmonValidator.hpp"
#include "app/shell/LocalRulesWindowViewController.hpp"
#include "platform/Dispatch.hpp"
#include "platform/NotificationCenter.hpp"

namespace kiv {
namespace {

using Control = LocalRulesView::Control;

class FakeView : public LocalRulesView {
public:
    std::string text(Control control) const override {
        auto it = texts.find(control);
        return it == texts.end() ? std::string() : it->second;
    }
    void setText(Control control, const std::string& value) override { texts[control] = value; }
    void setEnabled(Control control, bool on) override { enabled[control] = on; }

    void fill(std::string domain, std::string rule, std::string resolvers) {
        texts[Control::domain] = std::move(domain);
        texts[Control::rule] = std::move(rule);
        texts[Control::resolver] = std::move(resolvers);
    }

    std::map<Control, std::string> texts;
    std::map<Control, bool> enabled;
};

model::ForwardingRule serverRule() {
    model::ForwardingRule rule;
    rule.domain = "corp.example";
    rule.resolvers = std::vector<std::string>{"10.1.1.1"};
    return rule;
}

// A stored configuration with one server rule, or with no result at all.
model::DeviceConfiguration storedConfiguration(bool withFilters) {
    model::DeviceConfiguration configuration;
    configuration.jsonrpc = "2.0";
    if (withFilters) {
        configuration.result.emplace();
        configuration.result->filters = std::vector<model::ForwardingRule>{serverRule()};
    }
    return configuration;
}

class LocalRulesTest : public ::testing::Test {
protected:
    std::unique_ptr<LocalRulesWindowViewController> makeController(
        std::optional<model::DeviceConfiguration> stored) {
        LocalRulesWindowViewController::Environment environment;
        environment.loadConfiguration = [stored] { return stored; };
        environment.isValidIPv4 = [](std::string_view text) { return CommmonValidator::isValidIPv4(text); };
        environment.testData = &testData;
        environment.notificationPublisher = Injected<NotificationPublisher>(
            [this] { return std::make_shared<NotificationPublisher>(&center); });
        return std::make_unique<LocalRulesWindowViewController>(view, std::move(environment));
    }

    // What reached the centre once the main queue ran.
    std::vector<platform::Notification> published() {
        while (platform::runMainLoopOnce(std::chrono::milliseconds(0))) {
        }
        return received;
    }

    std::shared_ptr<FakeView> view = std::make_shared<FakeView>();
    TestData testData;
    platform::NotificationCenter center;
    std::vector<platform::Notification> received;
    platform::Observation observation = center.addObserver(
        "deviceConfigRefreshed", nullptr, [this](const platform::Notification& n) { received.push_back(n); });
};

TEST_F(LocalRulesTest, ChecksTheFormAndShowsTheFirstFailure) {
    struct Case {
        const char* domain;
        const char* rule;
        const char* resolvers;
        const char* message;  // nullptr: accepted
        std::size_t resolverCount;
    };
    const char* empty = LocalRulesWindowViewController::kEmptyRuleMessage;
    const char* badResolvers = LocalRulesWindowViewController::kInvalidResolversMessage;
    const char* badRule = LocalRulesWindowViewController::kInvalidRuleMessage;
    const Case cases[] = {
        {"", "", "", empty, 0},
        {"", "", ",,", empty, 0},  // only empty parts
        {"corp.example", "", "", nullptr, 0},
        {"", "", "192.0.2.1,,192.0.2.2", nullptr, 2},       // an empty part is dropped
        {"", "", "192.0.2.1, 192.0.2.2", badResolvers, 2},  // a blank stays in the address
        {"", "", "192.0.2.1,", nullptr, 1},
        {"x", "", "192.0.2", badResolvers, 1},
        {"x", "", "192.0.2.256", badResolvers, 1},
        {"", "resolver.example", "999.1.1.1", badResolvers, 1},  // both wrong: resolvers first
        {"", "10.0.0.0/8", "", nullptr, 0},                      // a network
        {"", "10.0.0.1", "", nullptr, 0},                        // an address
        {"", "10.0.0.1-10.0.0.9", "", nullptr, 0},               // a range
        {"", "resolver.example", "", badRule, 0},
        {"", "10.0.0.0/33", "", badRule, 0},
        {"corp.example", "10.0.0.0/8", "192.0.2.53", nullptr, 1},
    };
    auto controller = makeController(std::nullopt);
    for (const auto& c : cases) {
        view->fill(c.domain, c.rule, c.resolvers);
        view->texts[Control::error] = "old message";
        controller->setValues();
        const auto rules = testData.testForwardingRules();
        if (c.message) {
            EXPECT_EQ(view->texts[Control::error], c.message)
                << c.domain << "|" << c.rule << "|" << c.resolvers;
            EXPECT_FALSE(rules) << c.resolvers;
        } else {
            EXPECT_EQ(view->texts[Control::error], "") << c.domain << "|" << c.rule << "|" << c.resolvers;
            ASSERT_TRUE(rules && rules->size() == 1) << c.resolvers;
            EXPECT_EQ(rules->front().resolvers->size(), c.resolverCount) << c.resolvers;
            EXPECT_EQ(rules->front().rule.has_value(), *c.rule != '\0');
        }
    }
    EXPECT_TRUE(published().empty());  // no stored configuration: nothing to publish
    EXPECT_EQ(view->texts[Control::json],
              R"({"domain":"corp.example","resolvers":["192.0.2.53"],"rule":"10.0.0.0/8"})");
}

TEST_F(LocalRulesTest, PublishesACopyOfTheStoredConfigurationWithTheRuleAdded) {
    const auto stored = storedConfiguration(true);
    auto controller = makeController(stored);
    view->fill("test.example", "", "192.0.2.53");
    controller->setValues();
    auto notifications = published();
    ASSERT_EQ(notifications.size(), 1u);
    const auto* copy = std::any_cast<model::DeviceConfiguration>(&notifications[0].object);
    ASSERT_NE(copy, nullptr);
    ASSERT_EQ(copy->result->filters->size(), 2u);
    EXPECT_EQ(copy->result->filters->at(0).domain, "corp.example");
    EXPECT_EQ(copy->result->filters->at(1).domain, "test.example");
    EXPECT_EQ(controller->config()->result->filters->size(), 1u);  // the stored one is unchanged

    // A failed attempt drops the test rule and publishes nothing.
    view->fill("", "", "");
    controller->setValues();
    EXPECT_FALSE(testData.testForwardingRules());
    EXPECT_EQ(published().size(), 1u);
}

TEST_F(LocalRulesTest, AConfigurationWithoutFiltersIsPublishedUnchanged) {
    auto controller = makeController(storedConfiguration(false));
    view->fill("test.example", "", "");
    controller->setValues();
    auto notifications = published();
    ASSERT_EQ(notifications.size(), 1u);
    const auto* copy = std::any_cast<model::DeviceConfiguration>(&notifications[0].object);
    ASSERT_NE(copy, nullptr);
    EXPECT_FALSE(copy->result);
    EXPECT_EQ(testData.testForwardingRules()->size(), 1u);
}

TEST_F(LocalRulesTest, TheCheckBoxClearsTheFieldsEitherWay) {
    auto controller = makeController(std::nullopt);
    for (int state : {1, 0, 1}) {
        view->fill("a", "b", "c");
        view->texts[Control::json] = "{}";
        view->texts[Control::error] = "kept";
        testData.setTestForwardingRules(TestData::Rules{serverRule()});
        controller->useLocalFiltering(state);
        for (Control control : {Control::rule, Control::domain, Control::resolver, Control::json}) {
            EXPECT_EQ(view->texts[control], "") << state;
        }
        EXPECT_EQ(view->texts[Control::error], "kept");
        for (Control control : {Control::rule, Control::domain, Control::resolver}) {
            EXPECT_EQ(view->enabled[control], state == 1) << state;
        }
        EXPECT_FALSE(testData.testForwardingRules());
    }
    // A window that is gone leaves the controller working on nothing.
    view.reset();
    controller->setValues();
    EXPECT_FALSE(testData.testForwardingRules());
}

}  // namespace
}  // namespace kiv
