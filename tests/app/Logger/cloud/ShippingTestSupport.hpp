#pragma once
// Shared set-up of the shipping destination tests: a temporary Application Support
// folder, a manual clock, a destination made there, and helpers that run work on the
// destination's queue and wait for uploads.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "app/Logger/cloud/ShippingDestination.hpp"
#include "fakes/LoopbackHTTPServer.hpp"
#include "platform/Clock.hpp"
#include "platform/Dispatch.hpp"
#include "platform/SystemLog.hpp"

namespace kiv::shippingtest {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline const std::string kKey = "k3y-of-exactly-thirty-two-bytes!";

// Passes requests to a real client and signals once each completion has run.
class ObservingHTTPClient final : public platform::HTTPClient {
public:
    explicit ObservingHTTPClient(platform::HTTPClientPtr inner) : inner_(std::move(inner)) {}
    void send(platform::HTTPRequest request, platform::DispatchQueuePtr queue,
              Completion completion) override {
        inner_->send(std::move(request), std::move(queue),
                     [this, completion = std::move(completion)](platform::HTTPResult result) {
                         completion(std::move(result));
                         completed_.signal();
                     });
    }
    // True when one more completion has run within `limit`.
    bool waitForCompletion(std::chrono::seconds limit = 30s) { return completed_.waitFor(limit); }

private:
    platform::HTTPClientPtr inner_;
    platform::Semaphore completed_;
};

inline std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

inline std::size_t lineCount(const fs::path& path) {
    const std::string text = readFile(path);
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

class ShippingFixture : public ::testing::Test {
protected:
    fakes::TempDirectory support;
    std::shared_ptr<platform::ManualClock> clock = std::make_shared<platform::ManualClock>(
        platform::Clock::TimePoint{std::chrono::seconds(1700000000) + std::chrono::milliseconds(250)});
    std::shared_ptr<ObservingHTTPClient> http;
    fs::path base = support.path() / program_invocation_short_name;

    // Diagnostics of the destination (showNSLog) collected here.
    std::mutex logMutex;
    std::vector<std::string> diagnostics;
    platform::LogCapture capture{[this](const platform::LogRecord& record) {
        std::lock_guard lock(logMutex);
        diagnostics.push_back(record.message);
    }};

    ShippingEnvironment environment(const std::string& caFile = {}) {
        http = std::make_shared<ObservingHTTPClient>(platform::makeHTTPClient({caFile}));
        ShippingEnvironment env;
        env.destination.clock = clock;
        env.httpClient = http;
        env.applicationSupportFolder = support.path();
        env.appVersion = "2.5.1";
        env.appBuild = "317";
        return env;
    }

    ShippingDestinationPtr make(std::optional<std::string> url = std::nullopt, const std::string& caFile = {},
                                std::string key = kKey) {
        auto destination =
            ShippingDestination::make("app", "s3cret:x", std::move(key), std::move(url), "entries.json",
                                      "sending.json", "analytics.json", environment(caFile));
        destination->showNSLog = true;
        return destination;
    }

    template <class F>
    auto onQueue(const ShippingDestinationPtr& destination, F work) -> decltype(work()) {
        if constexpr (std::is_void_v<decltype(work())>) {
            destination->queue->sync(work);
        } else {
            std::optional<decltype(work())> result;
            destination->queue->sync([&] { result.emplace(work()); });
            return std::move(*result);
        }
    }

    void log(const ShippingDestinationPtr& destination, LogFacilityLevel level, const std::string& message,
             int count = 1) {
        onQueue(destination, [&] {
            for (int i = 0; i < count; ++i) {
                destination->send(level, message, "worker.queue", "/src/app/core/LoggerService.cpp", "ship()",
                                  12, std::nullopt);
            }
        });
    }

    std::vector<std::string> takeDiagnostics() {
        std::lock_guard lock(logMutex);
        return std::exchange(diagnostics, {});
    }
};

}  // namespace kiv::shippingtest
