// The installer file pickup at a normal start, in a temporary home: what the installer left in the
// Caches folder reaches the settings and the application folder whether or not the application
// was configured before, and the watches start on the files that exist.
#include <gtest/gtest.h>

#include "FileWatchingTestSupport.hpp"
#include "app/core/Utils.hpp"
#include "app/shell/FileSetup.hpp"

namespace kiv::testing {
namespace {

namespace fs = std::filesystem;

constexpr const char* kInstallerConfig =
    R"({"jsonrpc":"2.0","result":{"device":"d1","name":"n","type":"KIV"}})";

class FileSetupTest : public FileWatchingTest {
protected:
    FileSetup makeFileSetup() {
        auto writer = makeWriter();
        auto settings = settings_;
        return FileSetup(Injected<KIVLogger>([logger = logger_] { return logger; }),
                         Injected<ConfigFileWriter>([writer] { return writer; }),
                         Injected<Settings>([settings] { return settings; }), observer_);
    }
    fs::path caches() const { return home() / ".cache"; }
};

struct PickupCase {
    const char* name;
    const char* appConfig;        // config.json of the application folder beforehand, or nullptr
    const char* rpcURL;           // the setting beforehand, or nullptr
    const char* installerConfig;  // the installer's config.json, or nullptr
    const char* installerParameters;
    const char* expectedAppConfig;  // afterwards, or nullptr for none
};

const PickupCase kPickups[] = {
    {"nothing installed, nothing left", nullptr, nullptr, nullptr, nullptr, nullptr},
    {"fresh install", nullptr, nullptr, kInstallerConfig, "RPC_URL=https://127.0.0.1:9443\n",
     kInstallerConfig},
    {"parameters without a config file", nullptr, nullptr, nullptr, "RPC_URL=https://127.0.0.1:9443\n",
     nullptr},
    {"configured application: the installer's file still wins", R"({"jsonrpc":"2.0"})", "https://old.example",
     kInstallerConfig, "RPC_URL=https://127.0.0.1:9443\n", kInstallerConfig},
    {"config without a server setting", R"({"jsonrpc":"2.0"})", nullptr, kInstallerConfig, nullptr,
     kInstallerConfig},
    {"configured application, installer gone", R"({"jsonrpc":"2.0"})", "https://old.example", nullptr,
     nullptr, R"({"jsonrpc":"2.0"})"},
};

class Pickups : public FileSetupTest, public ::testing::WithParamInterface<PickupCase> {};

TEST_P(Pickups, TakeWhatTheInstallerLeft) {
    const PickupCase& c = GetParam();
    if (c.appConfig) writeText(appFolder() / "config.json", c.appConfig);
    if (c.rpcURL) settings_->set(c.rpcURL, XNCServerInfoSection::rpcURL);
    if (c.installerConfig) writeText(caches() / "config.json", c.installerConfig);
    if (c.installerParameters) writeText(caches() / "com.veltrix.kivConfig", c.installerParameters);

    FileSetup setup = makeFileSetup();
    EXPECT_TRUE(setup.pickUpInstallerConfiguration());

    EXPECT_TRUE(logged("Testing if the installer has just run"));
    EXPECT_TRUE(logged("Reading install path from " + (caches() / "config.json").string()));
    EXPECT_EQ(logged("Config file doesnt exist at ~Library/Caches/config.json. Recreating"),
              !c.installerConfig);
    EXPECT_EQ(logged("configuration picked up from installer is "), c.installerConfig != nullptr);
    if (c.expectedAppConfig) {
        EXPECT_EQ(readText(appFolder() / "config.json"), c.expectedAppConfig);
    } else {
        EXPECT_FALSE(fs::exists(appFolder() / "config.json"));
    }
    const char* expectedURL = c.installerParameters ? "https://127.0.0.1:9443" : c.rpcURL;
    EXPECT_EQ(settings_->getString(XNCServerInfoSection::rpcURL),
              expectedURL ? std::optional<std::string>(expectedURL) : std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Starts, Pickups, ::testing::ValuesIn(kPickups), [](const auto& info) {
    std::string name = info.param.name;
    for (char& ch : name) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    }
    return name;
});

TEST_F(FileSetupTest, AFailedSaveReportsFalse) {
    writeText(caches() / "config.json", kInstallerConfig);
    // A folder with something in it where config.json goes: the rename cannot replace it.
    writeText(appFolder() / "config.json" / "keep", "");
    FileSetup setup = makeFileSetup();
    EXPECT_FALSE(setup.pickUpInstallerConfiguration());
    EXPECT_TRUE(fs::is_directory(appFolder() / "config.json"));
}

TEST_F(FileSetupTest, WatchesTheApplicationFilesAndRootsWhenTheyCanBeOpened) {
    FileSetup setup = makeFileSetup();
    onQueue([&] { setup.watchApplicationFiles(); });
    EXPECT_EQ(observer_->watchCount(), 2u);
    EXPECT_TRUE(fs::exists(appFolder() / "config.json"));
    EXPECT_TRUE(fs::exists(appFolder() / "device.json"));

    // Root's folder missing (a process that cannot see it): no watch, no error.
    onQueue([&] { setup.watchRootFiles(); });
    EXPECT_EQ(observer_->watchCount(), 2u);
    EXPECT_EQ(observer_->fileDescriptor(), -1);

    fs::create_directories(rootFolder());
    onQueue([&] { setup.watchRootFiles(); });
    EXPECT_EQ(observer_->watchCount(), 4u);
    EXPECT_TRUE(fs::exists(rootFolder() / "device.json"));
}

}  // namespace
}  // namespace kiv::testing
