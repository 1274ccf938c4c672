// kivdnsproxy: the DNS-proxy extension as a Linux daemon. The provider host stands
// in for the system that hands the extension its DNS flows; the proxy is started
// from --vendor-data or by the DNS-proxy preferences that the application saves.
#include <algorithm>
#include <asio/io_context.hpp>
#include <cstdio>
#include <iostream>
#include <thread>

#include "dnsproxy/AppLink.hpp"
#include "dnsproxy/DNSProxyProvider.hpp"
#include "dnsproxy/DaemonOptions.hpp"
#include "platform/Dispatch.hpp"
#include "platform/SystemLog.hpp"
#include "platform/ne/DNSProxyPreferences.hpp"
#include "platform/ne/PreferencesController.hpp"
#include "platform/ne/ProviderHost.hpp"

namespace {

void say(const std::string& line) { std::cout << "kivdnsproxy: " << line << std::endl; }

int fail(const std::string& message) {
    std::cerr << "kivdnsproxy: " << message << std::endl;
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const auto parsed = dnsproxy::parseDaemonOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.options) {
        std::cerr << "kivdnsproxy: " << parsed.error << "\n" << dnsproxy::daemonUsage();
        return 2;
    }
    auto options = *parsed.options;
    if (options.help) {
        std::cout << dnsproxy::daemonUsage();
        return 0;
    }
    if (options.syslog) platform::setLogOutput(platform::LogOutput::syslog);

    std::optional<nlohmann::json> vendorData;
    if (options.vendorDataPath) {
        std::string error;
        const auto text = platform::ne::readSmallFile(*options.vendorDataPath, 1 << 20, error);
        if (!text) return fail("cannot read the provider configuration: " + error);
        auto json = platform::ne::parseBoundedJSON(*text);
        if (json.is_discarded() || !json.is_object()) {
            return fail("the provider configuration in " + *options.vendorDataPath +
                        " is not a JSON object (or is nested more than " +
                        std::to_string(platform::ne::kMaxJSONDepth) + " deep)");
        }
        // A file given by hand is refused whole rather than run half-working: each
        // reason is one the provider would log at every start.
        if (const auto problems = dnsproxy::configurationProblems(json); !problems.empty()) {
            std::string message =
                "the provider configuration in " + *options.vendorDataPath + " cannot be used:";
            for (const auto& problem : problems) message += "\n  " + problem;
            return fail(message);
        }
        vendorData = std::move(json);
    }

    const unsigned threads =
        options.threads ? options.threads : std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
    // One io_context per thread: each thread serves its own sockets and flows.
    std::vector<std::unique_ptr<asio::io_context>> contexts;
    std::vector<asio::io_context*> ios;
    std::vector<asio::executor_work_guard<asio::io_context::executor_type>> work;
    for (unsigned i = 0; i < threads; ++i) {
        contexts.push_back(std::make_unique<asio::io_context>(1));
        ios.push_back(contexts.back().get());
        work.push_back(asio::make_work_guard(*contexts.back()));
    }
    asio::io_context& io = *contexts.front();
    auto appLink = dnsproxy::makeDefaultAppLink();
    auto provider = dnsproxy::DNSProxyProvider::make(options.proxy, appLink);
    const dnsproxy::AppLinkListening appLinkListening(appLink);

    platform::ne::ProviderHost host(ios, provider, options.host);
    host.setProxyStateObserver([](bool running) { say(running ? "proxy started" : "proxy stopped"); });
    try {
        host.listen();
    } catch (const std::exception& error) {
        return fail(error.what());
    }
    for (const auto& endpoint : host.listeningEndpoints()) {
        say("listening on " + endpoint.address().to_string() + " port " + std::to_string(endpoint.port()));
    }

    std::unique_ptr<platform::ne::PreferencesController> controller;
    if (vendorData) {
        host.startProxy(nlohmann::json{{"VendorData", *vendorData}}, [](std::optional<std::string> error) {
            if (error) say("proxy start failed: " + *error);
        });
    } else {
        controller = std::make_unique<platform::ne::PreferencesController>(io, host, options.preferencesPath);
        try {
            controller->start();
        } catch (const std::exception& error) {
            return fail(error.what());
        }
        say("following " + options.preferencesPath);
    }

    host.shutdownOnSignals(
        [&] {
            work.clear();
            for (auto* context : ios) context->stop();
            platform::stopMainLoop();
        },
        [provider] { provider->endAllFlows(); });

    std::vector<std::thread> workers;
    for (auto* context : ios) workers.emplace_back([context] { context->run(); });
    // The main thread parks in the main queue, where the application link works.
    platform::runMainLoop();
    for (auto& worker : workers) worker.join();
    controller.reset();
    say("stopped");
    return 0;
}
