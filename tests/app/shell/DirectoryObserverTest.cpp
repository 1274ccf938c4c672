// The parameter-file watcher: who may hand settings over through the cookie file, the ten-second
// check on a manual clock, the one-shot watches of the stored files, and root's files copied over.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "FileWatchingTestSupport.hpp"
#include "app/core/Utils.hpp"
#include "platform/AtomicFile.hpp"

namespace kiv::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Read = DirectoryObserver::ParameterFileRead;

constexpr const char* kParameters = "RPC_URL=https://127.0.0.1:9443\nINSTALL_KEY=install-from-root\n";

struct CookieCase {
    const char* name;
    // Puts something at the cookie's path (a folder given for helpers); false skips the case.
    std::function<bool(const fs::path& cookie, const fs::path& folder)> plant;
    Read expected;
    const char* logged;  // a log line that starts so, or nullptr
};

bool plainFile(const fs::path& cookie, mode_t mode) {
    writeText(cookie, kParameters);
    return ::chmod(cookie.c_str(), mode) == 0;
}

const CookieCase kCookies[] = {
    {"own file", [](const fs::path& c, const fs::path&) { return plainFile(c, 0644); }, Read::applied,
     nullptr},
    {"own file, owner-only", [](const fs::path& c, const fs::path&) { return plainFile(c, 0600); },
     Read::applied, nullptr},
    {"group-writable", [](const fs::path& c, const fs::path&) { return plainFile(c, 0664); }, Read::refused,
     "ignoring the parameter file"},
    {"world-writable", [](const fs::path& c, const fs::path&) { return plainFile(c, 0646); }, Read::refused,
     "ignoring the parameter file"},
    {"symbolic link to a good file",
     [](const fs::path& c, const fs::path& folder) {
         plainFile(folder / "elsewhere", 0644);
         fs::create_symlink(folder / "elsewhere", c);
         return true;
     },
     Read::refused, "ignoring the parameter file"},
    {"folder", [](const fs::path& c, const fs::path&) { return fs::create_directory(c); }, Read::refused,
     "ignoring the parameter file"},
    {"fifo", [](const fs::path& c, const fs::path&) { return ::mkfifo(c.c_str(), 0644) == 0; }, Read::refused,
     "ignoring the parameter file"},
    {"too large",
     [](const fs::path& c, const fs::path&) {
         writeText(c, std::string(100 * 1024, '\n') + kParameters);
         return true;
     },
     Read::refused, "ignoring the parameter file"},
    {"planted by another user",
     [](const fs::path& c, const fs::path&) {
         if (::geteuid() != 0) return false;
         return plainFile(c, 0644) && ::chown(c.c_str(), 65534, 65534) == 0;
     },
     Read::refused, "ignoring the parameter file"},
};

class CookieFiles : public FileWatchingTest, public ::testing::WithParamInterface<CookieCase> {};

TEST_P(CookieFiles, OnlyASafeFileIsApplied) {
    const CookieCase& c = GetParam();
    if (!c.plant(cookie(), folder_.path())) {
        GTEST_SKIP() << "needs root: only root can give a file to another user";
    }
    onQueue([&] { observer_->checkInstallerParameters(); });
    const bool applied = c.expected == Read::applied;
    EXPECT_EQ(settings_->getString(XNCServerInfoSection::rpcURL),
              applied ? std::optional<std::string>("https://127.0.0.1:9443") : std::nullopt);
    EXPECT_EQ(settings_->getString(XNCServerInfoSection::installKey),
              applied ? std::optional<std::string>("install-from-root") : std::nullopt);
    EXPECT_EQ(reregistrations_, applied ? 1 : 0);
    EXPECT_TRUE(logged("Install params have changed"));
    EXPECT_EQ(logged("reConfiguring server"), applied);
    EXPECT_EQ(logged("updated configuration because the root configuration was updated"), applied);
    if (c.logged) {
        EXPECT_TRUE(logged(c.logged));
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, CookieFiles, ::testing::ValuesIn(kCookies), [](const auto& info) {
    std::string name = info.param.name;
    for (char& ch : name) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    }
    return name;
});

TEST_F(FileWatchingTest, AFileThatCannotBeReadChangesNoSettingButStillRegisters) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads a file whatever its mode";
    plainFile(cookie(), 0200);
    onQueue([&] { observer_->checkInstallerParameters(); });
    EXPECT_FALSE(settings_->getString(XNCServerInfoSection::rpcURL));
    EXPECT_EQ(reregistrations_, 1);
}

TEST_F(FileWatchingTest, NoCookieFileIsQuiet) {
    onQueue([&] { observer_->checkInstallerParameters(); });
    EXPECT_EQ(reregistrations_, 0);
    EXPECT_TRUE(logger_->messages().empty());
}

// The check runs every ten seconds on the process clock, once per new modification time (an
// older one too), and one timer runs however many files are watched.
TEST_F(FileWatchingTest, TheTimerChecksEveryTenSecondsAndAppliesEachNewDateOnce) {
    plainFile(cookie(), 0644);
    setModificationTime(cookie(), 2'000'000'000);
    onQueue([&] {
        for (const char* name : {"config.json", "device.json", "a.json", "b.json"}) {
            observer_->startObserving(appFolder() / name);
        }
    });
    advance(9s);
    EXPECT_EQ(reregistrations_, 0);
    advance(1s);
    EXPECT_EQ(reregistrations_, 1) << "one timer, not four";
    EXPECT_EQ(settings_->getString(XNCServerInfoSection::installKey), "install-from-root");

    advance(10s);
    advance(10s);
    EXPECT_EQ(reregistrations_, 1) << "the same date is not applied again";

    writeText(cookie(), "INSTALL_KEY=second\n");
    setModificationTime(cookie(), 1'000'000'000);  // set back: a change all the same
    advance(10s);
    EXPECT_EQ(reregistrations_, 2);
    EXPECT_EQ(settings_->getString(XNCServerInfoSection::installKey), "second");

    fs::remove(cookie());
    advance(10s);
    EXPECT_EQ(reregistrations_, 2);
}

TEST_F(FileWatchingTest, TheTimerStopsWithTheObserver) {
    plainFile(cookie(), 0644);
    onQueue([&] { observer_->startObserving(appFolder() / "config.json"); });
    onQueue([&] { observer_.reset(); });
    advance(10s);
    EXPECT_EQ(reregistrations_, 0);
}

TEST_F(FileWatchingTest, StartingAWatchCreatesAMissingFileAndSkipsAnUnopenableOne) {
    fs::create_directories(appFolder());
    onQueue([&] { observer_->startObserving(appFolder() / "device.json"); });
    EXPECT_TRUE(fs::is_regular_file(appFolder() / "device.json"));
    EXPECT_EQ(fs::file_size(appFolder() / "device.json"), 0u);
    EXPECT_GE(observer_->fileDescriptor().value_or(-1), 0);
    EXPECT_EQ(observer_->watchCount(), 1u);

    // A link planted where the file goes is neither followed nor replaced.
    fs::create_symlink(folder_.path() / "target", appFolder() / "config.json");
    onQueue([&] { observer_->startObserving(appFolder() / "config.json"); });
    EXPECT_FALSE(fs::exists(folder_.path() / "target"));
    EXPECT_EQ(observer_->fileDescriptor(), -1);

    onQueue([&] { observer_->startObserving(folder_.path() / "no-such-folder/device.json"); });
    EXPECT_EQ(observer_->fileDescriptor(), -1);
    EXPECT_EQ(observer_->watchCount(), 1u);
}

// Each stored file reports its first replacement only: the application's own saves never loop.
// Every "nothing more" is checked by a later first save of another watched file: file events
// reach the observer in the order they happened.
TEST_F(FileWatchingTest, EachWatchReportsTheFirstSaveOnly) {
    const auto devicePath = Utils::deviceJSONPath();
    const auto configPath = Utils::configJSONPath();
    ASSERT_TRUE(devicePath && configPath);
    const fs::path sentinel = appFolder() / "sentinel.json";
    onQueue([&] {
        observer_->startObserving(*configPath);
        observer_->startObserving(*devicePath);
        observer_->startObserving(sentinel);
    });
    ASSERT_EQ(platform::writeFileAtomically(*devicePath, deviceJSON("first")), "");
    EXPECT_EQ(waitForPosts(1), std::vector<std::string>{"first"});

    ASSERT_EQ(platform::writeFileAtomically(*devicePath, deviceJSON("second")), "");
    ASSERT_EQ(platform::writeFileAtomically(*configPath, R"({"jsonrpc":"2.0"})"), "");
    EXPECT_EQ(waitForPosts(2), (std::vector<std::string>{"first", "second"}));

    ASSERT_EQ(platform::writeFileAtomically(*configPath, R"({"jsonrpc":"2.0","id":2})"), "");
    ASSERT_EQ(platform::writeFileAtomically(*devicePath, "not a configuration"), "");
    ASSERT_EQ(platform::writeFileAtomically(sentinel, "{}"), "");
    EXPECT_EQ(waitForPosts(3), (std::vector<std::string>{"first", "second", "<no object>"}));
}

TEST_F(FileWatchingTest, AnEventWithoutAReadableConfigurationPostsNoObject) {
    const auto configPath = Utils::configJSONPath();
    ASSERT_TRUE(configPath);
    onQueue([&] { observer_->startObserving(*configPath); });
    ASSERT_EQ(platform::writeFileAtomically(*configPath, R"({"jsonrpc":"2.0"})"), "");
    EXPECT_EQ(waitForPosts(1), std::vector<std::string>{"<no object>"});
}

struct RootCopyCase {
    const char* name;
    std::function<fs::path(const fs::path& root, const fs::path& elsewhere)> source;
    const char* copiedTo;  // file of the application folder, or nullptr
};

const RootCopyCase kRootCopies[] = {
    {"root's device.json", [](const fs::path& r, const fs::path&) { return r / "device.json"; },
     "device.json"},
    {"root's config.json", [](const fs::path& r, const fs::path&) { return r / "config.json"; },
     "config.json"},
    {"another file of root's", [](const fs::path& r, const fs::path&) { return r / "settings.json"; },
     nullptr},
    {"a folder below root's", [](const fs::path& r, const fs::path&) { return r / "old/device.json"; },
     nullptr},
    {"a user whose name holds root",
     [](const fs::path&, const fs::path& e) {
         return e / "home/rootbeer/.local/share/BrannockCloud/device.json";
     },
     nullptr},
    {"a file named after root", [](const fs::path&, const fs::path& e) { return e / "root/device.json"; },
     nullptr},
};

class RootCopies : public FileWatchingTest, public ::testing::WithParamInterface<RootCopyCase> {};

TEST_P(RootCopies, OnlyRootsOwnFilesAreCopied) {
    const RootCopyCase& c = GetParam();
    const fs::path source = c.source(rootFolder(), folder_.path());
    writeText(source, deviceJSON("from-root"));
    fs::create_directories(appFolder());
    onQueue([&] { observer_->copyRootFile(source); });
    for (const char* name : {"device.json", "config.json"}) {
        const bool copied = c.copiedTo && std::string(name) == c.copiedTo;
        EXPECT_EQ(fs::exists(appFolder() / name), copied) << name;
        if (copied) {
            EXPECT_EQ(readText(appFolder() / name), deviceJSON("from-root"));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, RootCopies, ::testing::ValuesIn(kRootCopies), [](const auto& info) {
    std::string name = info.param.name;
    for (char& ch : name) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    }
    return name;
});

TEST_F(FileWatchingTest, ACopyNeverReplacesTheUsersFile) {
    writeText(rootFolder() / "device.json", deviceJSON("from-root"));
    writeText(appFolder() / "device.json", deviceJSON("users-own"));
    onQueue([&] { observer_->copyRootFile(rootFolder() / "device.json"); });
    EXPECT_EQ(readText(appFolder() / "device.json"), deviceJSON("users-own"));
    EXPECT_TRUE(logged("failed to copy url file://"));
}

TEST_F(FileWatchingTest, AnEventOnRootsFileCopiesItBeforeReadingTheConfiguration) {
    writeText(rootFolder() / "device.json", deviceJSON("root-before"));
    onQueue([&] { observer_->startObserving(rootFolder() / "device.json"); });
    ASSERT_EQ(platform::writeFileAtomically(rootFolder() / "device.json", deviceJSON("root-after")), "");
    EXPECT_EQ(waitForPosts(1), std::vector<std::string>{"root-after"});
    EXPECT_EQ(readText(appFolder() / "device.json"), deviceJSON("root-after"));
}

TEST(WatchedFileKinds, AreTakenFromTheWholeFileName) {
    const std::pair<const char*, WatchedFileKind> cases[] = {
        {"/a/device.json", WatchedFileKind::deviceJSON},
        {"/a/config.json", WatchedFileKind::configJSON},
        {"/device.json/x", WatchedFileKind::otherFile},
        {"/a/old-device.json", WatchedFileKind::otherFile},
        {"/a/config.json.tmp", WatchedFileKind::otherFile},
        {"/a/", WatchedFileKind::otherFile},
    };
    for (const auto& [path, kind] : cases) EXPECT_EQ(DirectoryObserver::fileKind(path), kind) << path;
    EXPECT_EQ(rawValue(WatchedFileKind::otherFile), "unknown");
}

}  // namespace
}  // namespace kiv::testing
