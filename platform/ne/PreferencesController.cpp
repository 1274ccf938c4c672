#include "platform/ne/PreferencesController.hpp"

#include <asio/post.hpp>

namespace platform::ne {

PreferencesController::PreferencesController(asio::io_context& io, ProviderHost& host, std::string path)
    : io_(io),
      host_(host),
      path_(std::move(path)),
      queue_(makeQueue(io)),
      log_("com.veltrix.kiv.KIVDNSProxy", "host") {}

void PreferencesController::start() {
    watcher_ = std::make_unique<PreferencesWatcher>(io_, path_, [this] { refresh(); });
    // A service manager would restart a daemon that gives up here again and again
    // until the application first saves its preferences: wait for them instead.
    if (watcher_->waitingForFolder())
        log_.notice("DNS-proxy preferences: waiting for the folder of " + path_);
    refresh();
}

void PreferencesController::refresh() {
    asio::post(queue_, [this] { apply(loadDNSProxyPreferences(path_)); });
}

void PreferencesController::apply(const PreferencesLoad& load) {
    using Status = PreferencesLoad::Status;
    if (load.status == Status::unreadable) {
        log_.error("DNS-proxy preferences not applied: " + load.error);
        return;
    }
    // Each file's problems are said once, not on every event of the folder.
    if (load.problems != lastProblems_) {
        for (const auto& problem : load.problems) log_.error("DNS-proxy preferences: " + problem);
        lastProblems_ = load.problems;
    }
    const bool enable = load.status == Status::loaded && load.preferences.enabled;
    if (!enable) {
        if (!started_) {
            // Removed after a disable: the host may still keep its interception for the
            // start a reset brings, which a user quit must not wait for.
            if (load.status == Status::missing) host_.stopProxy(NEProviderStopReason::configurationRemoved);
            return;
        }
        started_ = false;
        startedWith_.reset();
        const auto reason = load.status == Status::missing ? NEProviderStopReason::configurationRemoved
                                                           : NEProviderStopReason::configurationDisabled;
        log_.notice(load.status == Status::missing ? "DNS-proxy preferences removed: stopping the proxy"
                                                   : "DNS-proxy preferences disabled: stopping the proxy");
        host_.stopProxy(reason);
        return;
    }
    const auto& vendorData = load.preferences.providerConfiguration;
    const bool intercept = load.preferences.intercept.value_or(true);
    if (started_ && startedWith_ == vendorData && startedIntercepting_ == intercept) return;
    if (started_) {
        log_.notice(startedWith_ == vendorData
                        ? "DNS-proxy interception setting changed: restarting the proxy"
                        : "DNS-proxy provider configuration changed: restarting the proxy");
        host_.stopProxy(NEProviderStopReason::superceded);
    } else {
        log_.notice("DNS-proxy preferences enabled: starting the proxy");
    }
    started_ = true;
    startedWith_ = vendorData;
    startedIntercepting_ = intercept;
    if (!intercept) log_.notice("DNS-proxy preferences: \"intercept\" is false, the proxy only listens");
    nlohmann::json options = nlohmann::json::object();
    if (vendorData) options["VendorData"] = *vendorData;
    host_.startProxy(
        std::move(options),
        [this](std::optional<std::string> error) {
            if (error) log_.error("DNS-proxy start failed: " + *error);
        },
        intercept);
}

}  // namespace platform::ne
