#include "app/shell/LocalRulesWindowViewController.hpp"

#include "app/core/Utils.hpp"
#include "app/netext/DNSResolver.hpp"
#include "app/netext/ipc/NetworkExtConfig.hpp"
#include "app/server/CommmonValidator.hpp"
#include "model/IPNetworkv4.hpp"

namespace kiv {

using Control = LocalRulesView::Control;

LocalRulesWindowViewController::Environment LocalRulesWindowViewController::defaultEnvironment() {
    Environment environment;
    environment.loadConfiguration = [] { return Utils::readDeviceConfiguration(); };
    environment.isValidIPv4 = [](std::string_view text) { return CommmonValidator::isValidIPv4(text); };
    environment.testData = &TestData::shared();
    return environment;
}

LocalRulesWindowViewController::LocalRulesWindowViewController(std::weak_ptr<LocalRulesView> view,
                                                               Environment environment)
    : view_(std::move(view)),
      environment_(std::move(environment)),
      concurrentQueue_(platform::makeConcurrentQueue("LocalRulesWindowViewController.queue")) {
    loadConfig();
}

void LocalRulesWindowViewController::viewDidLoad() { loadConfig(); }

void LocalRulesWindowViewController::loadConfig() {
    config_ = environment_.loadConfiguration ? environment_.loadConfiguration() : std::nullopt;
}

void LocalRulesWindowViewController::setText(Control control, const std::string& text) {
    if (auto view = view_.lock()) view->setText(control, text);
}

void LocalRulesWindowViewController::useLocalFiltering(int state) {
    const bool on = state == kCheckBoxOn;
    if (auto view = view_.lock()) {
        for (Control control : {Control::rule, Control::domain, Control::resolver})
            view->setEnabled(control, on);
        for (Control control : {Control::rule, Control::domain, Control::resolver, Control::json}) {
            view->setText(control, "");
        }
    }
    environment_.testData->setTestForwardingRules(std::nullopt);
}

model::ForwardingRule LocalRulesWindowViewController::ruleFrom(const std::string& domain,
                                                               const std::string& rule,
                                                               const std::string& resolvers) {
    model::ForwardingRule forwardingRule;
    forwardingRule.domain = domain;
    forwardingRule.resolvers = commaSeparatedList(resolvers);
    if (!rule.empty()) forwardingRule.rule = rule;
    return forwardingRule;
}

bool LocalRulesWindowViewController::isValidRule(const std::optional<std::string>& rule) const {
    if (!rule || rule->empty()) return true;
    if (environment_.isValidIPv4(*rule)) return true;
    return model::IPNetworkv4::parse(*rule).has_value();
}

std::optional<std::string> LocalRulesWindowViewController::validationMessage(
    const model::ForwardingRule& rule) const {
    if (isEmpty(rule)) return std::string(kEmptyRuleMessage);
    if (rule.resolvers) {
        for (const auto& resolver : *rule.resolvers) {
            if (!environment_.isValidIPv4(resolver)) return std::string(kInvalidResolversMessage);
        }
    }
    if (!isValidRule(rule.rule)) return std::string(kInvalidRuleMessage);
    return std::nullopt;
}

void LocalRulesWindowViewController::setValues() {
    auto view = view_.lock();
    const auto read = [&](Control control) { return view ? view->text(control) : std::string(); };
    const auto rule = ruleFrom(read(Control::domain), read(Control::rule), read(Control::resolver));

    setText(Control::error, "");
    environment_.testData->setTestForwardingRules(std::nullopt);
    if (auto message = validationMessage(rule)) {
        setText(Control::error, *message);
        return;
    }
    environment_.testData->setTestForwardingRules(TestData::Rules{rule});

    if (auto json = rule.jsonString(model::TextEncoding::utf8); json && json.value())
        setText(Control::json, *json.value());

    // The stored configuration with the test rules added; the files stay as they are.
    if (!config_) return;
    model::DeviceConfiguration copy = *config_;
    if (auto rules = environment_.testData->testForwardingRules();
        rules && copy.result && copy.result->filters) {
        copy.result->filters->insert(copy.result->filters->end(), rules->begin(), rules->end());
    }
    environment_.notificationPublisher->publish(ChangeType::deviceConfigRefreshed, std::move(copy));
}

}  // namespace kiv
