#pragma once
// Shared by the application-core tests: a temporary home (KIV_HOME) and cookie folder
// (KIV_TMP_DIR) per test, no PWD or SUDO_COMMAND, a logger that records instead of queueing, and
// Settings over user defaults kept in the temporary folder.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/Logger/KIVLogger.hpp"
#include "app/Logger/LoggerTestSupport.hpp"
#include "app/core/ConfigFileWriter.hpp"
#include "app/core/Settings.hpp"
#include "fakes/RecordingLogger.hpp"
#include "fakes/TestFolders.hpp"
#include "platform/UserDefaults.hpp"

namespace kiv::testing {

inline void writeText(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

using kiv::fakes::readText;

class CoreTest : public ::testing::Test {
protected:
    void SetUp() override { std::filesystem::create_directories(cookieFolder()); }

    std::filesystem::path home() const { return folder_.path() / "home"; }
    std::filesystem::path cookieFolder() const { return folder_.path() / "tmp"; }
    std::filesystem::path appFolder() const { return home() / ".local/share/BrannockCloud"; }

    // A writer into the cookie folder that does not pause, logging to logger_.
    std::shared_ptr<ConfigFileWriter> makeWriter() {
        return std::make_shared<ConfigFileWriter>(
            std::vector{cookieFolder()}, [this] { ++pauses_; },
            Injected<KIVLogger>([logger = logger_] { return logger; }));
    }
    std::shared_ptr<Settings> makeSettings(const std::string& defaultsName = "defaults") {
        auto defaults = platform::UserDefaults::atPath("test." + defaultsName,
                                                       (folder_.path() / (defaultsName + ".json")).string());
        auto writer = makeWriter();
        return std::make_shared<Settings>(defaults, Injected<ConfigFileWriter>([writer] { return writer; }),
                                          Injected<KIVLogger>([logger = logger_] { return logger; }));
    }

    TemporaryFolder folder_;
    ScopedEnvironment home_{"KIV_HOME", home().string()};
    ScopedEnvironment cookies_{"KIV_TMP_DIR", cookieFolder().string()};
    ScopedEnvironment pwd_{"PWD", std::nullopt};
    ScopedEnvironment sudo_{"SUDO_COMMAND", std::nullopt};
    std::shared_ptr<RecordingLogger> logger_ = std::make_shared<RecordingLogger>();
    std::atomic<int> pauses_{0};
};

}  // namespace kiv::testing
