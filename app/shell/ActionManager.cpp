#include "app/shell/ActionManager.hpp"

#include <charconv>
#include <cstdint>
#include <vector>

#include "platform/Bundle.hpp"

namespace kiv {
namespace {

std::optional<std::int64_t> number(const std::string& text) {
    std::int64_t value = 0;
    const auto* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || at != end || text.empty()) return std::nullopt;
    return value;
}

}  // namespace

ActionManager::ActionManager(std::optional<model::DeviceConfiguration> configuration,
                             std::optional<bool> shutdown, const std::optional<std::string>& version) {
    if (!handledInVersion(version)) {
        notHandledInThisVersion = true;
        return;
    }
    deviceConfiguration = std::move(configuration);
    isShutdown = shutdown;
}

bool ActionManager::handledInVersion(const std::optional<std::string>& version) {
    std::vector<std::string> parts;
    if (version) {
        std::size_t from = 0;
        for (;;) {
            const auto dot = version->find('.', from);
            parts.push_back(version->substr(from, dot == std::string::npos ? std::string::npos : dot - from));
            if (dot == std::string::npos) break;
            from = dot + 1;
        }
    }
    const auto minor = parts.size() > 1 ? number(parts[1]) : std::nullopt;
    const auto patch = parts.size() > 2 ? number(parts[2]) : std::nullopt;
    const std::int64_t m = minor.value_or(2);
    if (patch) return m < 2 || *patch > 0;
    return m < 2;
}

std::string ActionManager::actionsDescription(const model::Actions& actions) {
    auto flag = [](const std::optional<bool>& value) { return value.value_or(false) ? "true" : "false"; };
    const std::string move = actions.move && actions.move->rpc ? *actions.move->rpc : "-";
    const std::string upgrade = actions.upgrade && actions.upgrade->url ? *actions.upgrade->url : "-";
    return std::string("disable = ") + flag(actions.disable) + ")" + "move url = " + move +
           "shutdown = " + flag(actions.shutdown) + "uninstall = " + flag(actions.uninstall) +
           "upgrade url = " + upgrade;
}

std::optional<std::string> ActionManager::actionsDescription() const {
    if (!deviceConfiguration || !deviceConfiguration->result || !deviceConfiguration->result->actions)
        return std::nullopt;
    return actionsDescription(*deviceConfiguration->result->actions);
}

std::optional<std::string> ActionManager::mainBundleVersion() {
    return platform::Bundle::main().string("CFBundleShortVersionString");
}

}  // namespace kiv
