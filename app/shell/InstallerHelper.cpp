#include "app/shell/InstallerHelper.hpp"

#include <optional>

#include "app/Logger/StandardOutput.hpp"
#include "platform/http/URL.hpp"

namespace kiv {
namespace {

std::optional<std::string> given(const std::map<XNCServerInfoSection, std::string>& values,
                                 XNCServerInfoSection key) {
    auto found = values.find(key);
    if (found == values.end()) return std::nullopt;
    return found->second;
}

bool isValidURL(const std::string& text) {
    const auto url = platform::URL::parse(text);
    return url && (url->scheme() == "http" || url->scheme() == "https") && !url->host().empty();
}

bool isValidEmail(const std::string& text) {
    const auto at = text.find('@');
    return at != std::string::npos && at > 0 && text.find('.', at) != std::string::npos;
}

}  // namespace

std::map<XNCServerInfoSection, std::string> InstallerArguments::parse(const std::vector<std::string>& arguments) {
    std::map<XNCServerInfoSection, std::string> parsed;
    for (const std::string& argument : arguments) {
        const auto equals = argument.find('=');
        if (equals == std::string::npos || argument.find('=', equals + 1) != std::string::npos) continue;
        const auto key = serverInfoSectionFromRawValue(argument.substr(0, equals));
        if (!key) continue;
        parsed[*key] = argument.substr(equals + 1);
    }
    return parsed;
}

InstallerHelper::InstallerHelper() : concurrentQueue(platform::makeConcurrentQueue("InstallerHelper.queue")) {}

bool InstallerHelper::validateAndSave() {
    using K = XNCServerInfoSection;
    Settings& settings = *_settings;
    const auto& values = saveInstallerDict;
    const auto fail = [&] {
        _logger->log("failed to validate a required setting: bailing", model::LogLevel::production);
        return false;
    };
    const auto reset = given(values, K::reset);
    if (reset) settings.set(*reset, K::reset);
    if (const auto stop = given(values, K::stop)) {
        settings.set(*stop, K::stop);
        return true;
    }
    if (reset) return true;

    const auto rpcURL = given(values, K::rpcURL);
    if (!rpcURL) {
        _logger->log("Missing value for RPC_URL. Please provide a URL in the command line",
                     model::LogLevel::production);
        return fail();
    }
    if (!isValidURL(*rpcURL)) {
        printLine(" RPC_URL value \"" + *rpcURL + "\" is invalid, please check again");
        return fail();
    }
    settings.set(*rpcURL, K::rpcURL);

    if (const auto installKey = given(values, K::installKey)) {
        settings.set(*installKey, K::installKey);
    } else {
        _logger->log("Missing install Key", model::LogLevel::production);
        const auto deviceKey = given(values, K::deviceKey);
        if (!deviceKey) return fail();
        settings.set(*deviceKey, K::deviceKey);
    }

    if (const auto name = given(values, K::deviceName)) {
        const auto prefix = given(values, K::deviceNamePrefix);
        settings.set(prefix ? *prefix + "-" + *name : *name, K::deviceName);
    }
    if (const auto port = given(values, K::rpcPort)) settings.set(*port, K::rpcPort);
    settings.set(given(values, K::locationName).value_or(""), K::locationName);
    settings.set(given(values, K::trayType).value_or("1"), K::trayType);
    if (const auto email = given(values, K::customerEmail)) {
        if (isValidEmail(*email)) {
            settings.set(*email, K::customerEmail);
        } else {
            printLine(" Email is in invalid format, please try again");
        }
    }
    settings.set(given(values, K::showTestMenu).value_or("TRUE"), K::showTestMenu);
    for (K key : {K::ignoreVPNS, K::allowWeakKey, K::importCert}) {
        if (const auto value = given(values, key)) settings.set(*value, key);
    }
    return true;
}

void InstallerHelper::run(bool /*force*/, std::function<void()> completion) {
    std::weak_ptr<InstallerHelper> weak = weak_from_this();
    concurrentQueue->async([weak, completion = std::move(completion)] {
        auto self = weak.lock();
        if (!self) return;
        self->_logger->log("installer step: no device-server client in this build", model::LogLevel::production);
        if (completion) completion();
    });
}

Service installerHelperService() {
    return Service::make<InstallerHelper>(Service::LifeCycle::global,
                                          [] { return std::make_shared<InstallerHelper>(); });
}

}  // namespace kiv
