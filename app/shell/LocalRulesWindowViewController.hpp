#pragma once
// The local-rules window's controller: a tester types one forwarding rule (a domain, an optional
// address rule: an IPv4 address, a CIDR network or an address range, and a comma-separated list
// of resolver addresses); the controller checks it, keeps it as the process-wide test rule, shows
// its JSON text and publishes the stored device configuration with the rule added as a
// `deviceConfigRefreshed` event. The stored files are never changed.
//
// The window itself is any LocalRulesView: the controller reads and writes the controls through
// it and holds it weakly, as outlets are held. Nothing in the application opens such a window.
//
// Threads: main queue (interface actions).
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/core/ConfigFileWriter.hpp"
#include "app/core/Injected.hpp"
#include "app/core/NotificationPublisher.hpp"
#include "app/core/TestData.hpp"
#include "model/DeviceConfiguration.hpp"
#include "model/ForwardingRule.hpp"
#include "platform/Dispatch.hpp"
#include "platform/SystemLog.hpp"

namespace kiv {

// The window's controls.
class LocalRulesView {
public:
    enum class Control { rule, domain, resolver, error, json };
    virtual ~LocalRulesView() = default;
    virtual std::string text(Control control) const = 0;
    virtual void setText(Control control, const std::string& text) = 0;
    virtual void setEnabled(Control control, bool enabled) = 0;
};

class LocalRulesWindowViewController {
public:
    static constexpr const char* kEmptyRuleMessage = "A domain, rule, or resolver must be set";
    static constexpr const char* kInvalidResolversMessage =
        "Invalid resolvers. Should be comma list of IP addresses";
    static constexpr const char* kInvalidRuleMessage = "incorrect rule format. Use IP or CIDR";
    static constexpr int kCheckBoxOn = 1;

    struct Environment {
        // The stored device configuration (device.json); nothing when missing or undecodable.
        std::function<std::optional<model::DeviceConfiguration>()> loadConfiguration;
        // The IPv4 address check (CommmonValidator's).
        std::function<bool(std::string_view)> isValidIPv4;
        TestData* testData = nullptr;
        Injected<NotificationPublisher> notificationPublisher;
        Injected<ConfigFileWriter> configFileWriter;
    };
    // device.json through Utils, CommmonValidator, TestData::shared(), the registry.
    static Environment defaultEnvironment();

    // Loads the configuration at once, as the window's controller does when it is made.
    explicit LocalRulesWindowViewController(std::weak_ptr<LocalRulesView> view,
                                            Environment environment = defaultEnvironment());

    // The view is loaded: the configuration is read again.
    void viewDidLoad();
    // The check box: `state` 1 enables the rule, domain and resolver fields, anything else
    // disables them; either way the four text fields are cleared and the test rules dropped.
    void useLocalFiltering(int state);
    // The apply button: checks the form and applies the rule.
    void setValues();

    // The rule the form describes: the resolvers split at commas, empty parts dropped, blanks kept.
    static model::ForwardingRule ruleFrom(const std::string& domain, const std::string& rule,
                                          const std::string& resolvers);
    // Absent or empty, an IPv4 address, or an IPv4 network (CIDR or range).
    bool isValidRule(const std::optional<std::string>& rule) const;
    // The message for the first check the rule fails, or nothing.
    std::optional<std::string> validationMessage(const model::ForwardingRule& rule) const;

    const std::optional<model::DeviceConfiguration>& config() const { return config_; }

private:
    void loadConfig();
    void setText(LocalRulesView::Control control, const std::string& text);

    std::weak_ptr<LocalRulesView> view_;
    std::optional<model::DeviceConfiguration> config_;
    Environment environment_;
    platform::DispatchQueuePtr concurrentQueue_;
    platform::SystemLog log_{"com.veltrix.kiv.KIVDNSProxy", "app"};
};

}  // namespace kiv
