// The user-defaults stand-in: coercions, the registration domain, files that are not what they
// should be, and other processes writing the same domain.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <limits>
#include <list>

#include "platform/AtomicFile.hpp"
#include "platform/Bundle.hpp"
#include "platform/SystemLog.hpp"
#include "platform/UserDefaults.hpp"
#include "tests/platform/PlatformTestSupport.hpp"

namespace platform {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char* kSharedDomain = "com.kiv.veltrix.tests.shared";
constexpr const char* kChildPrefixVariable = "KIV_TEST_DEFAULTS_PREFIX";
constexpr int kKeys = 25;

json fileContent(const fs::path& file) {
    return json::parse(readWholeFile(file).content, nullptr, /*allow_exceptions=*/false);
}

class UserDefaultsTest : public ::testing::Test {
protected:
    testing::TemporaryFolder home_;
    testing::ScopedEnvironment kivHome_{"KIV_HOME", home_.path().string()};
    fs::path preferences() const { return home_.path() / ".config" / "kiv"; }
};

struct Coercion {
    json value;
    bool asBool;
    std::optional<std::string> asString;
    long long asInteger;
};

TEST_F(UserDefaultsTest, GettersCoerceEveryKindOfValue) {
    const Coercion table[] = {
        {true, true, std::nullopt, 1},
        {false, false, std::nullopt, 0},
        {0, false, "0", 0},
        {7, true, "7", 7},
        {-3, true, "-3", -3},
        {2.0, true, "2", 2},
        {0.5, true, "0.5", 0},
        {-0.0, false, "0", 0},
        {1e20, true, "100000000000000000000", std::numeric_limits<long long>::max()},
        {std::numeric_limits<unsigned long long>::max(), true, "18446744073709551615",
         std::numeric_limits<long long>::max()},
        {"YES", true, "YES", 0},
        {"yEs", true, "yEs", 0},
        {"TRUE", true, "TRUE", 0},
        {"True", true, "True", 0},
        {"1", true, "1", 0},
        {"42 apples", true, "42 apples", 0},
        {"no", false, "no", 0},
        {"0", false, "0", 0},
        {"-1", false, "-1", 0},
        {" 1", false, " 1", 0},
        {"yes please", false, "yes please", 0},
        {"", false, "", 0},
        {json::array({1}), false, std::nullopt, 0},
        {json::object({{"a", 1}}), false, std::nullopt, 0},
    };
    auto defaults = UserDefaults::atPath("coercions", (home_.path() / "coercions.json").string());
    for (const auto& row : table) {
        defaults->setObject("key", row.value);
        EXPECT_EQ(defaults->boolForKey("key"), row.asBool) << row.value;
        EXPECT_EQ(defaults->stringForKey("key"), row.asString) << row.value;
        EXPECT_EQ(defaults->integerForKey("key"), row.asInteger) << row.value;
    }
    defaults->removeObject("key");
    EXPECT_FALSE(defaults->boolForKey("key"));
    EXPECT_EQ(defaults->stringForKey("key"), std::nullopt);
    EXPECT_EQ(defaults->objectForKey("key"), std::nullopt);
}

TEST_F(UserDefaultsTest, RegisteredValuesAnswerOnlyWhenTheDomainHasNone) {
    auto defaults = UserDefaults::suite("com.kiv.veltrix.tests.registration");
    ASSERT_TRUE(defaults);
    defaults->registerDefaults({{"mode", "registered"}, {"flag", true}});
    defaults->registerDefaults({{"mode", "registered again"}});
    EXPECT_EQ(defaults->stringForKey("mode"), "registered again");
    EXPECT_TRUE(defaults->boolForKey("flag"));
    defaults->setString("mode", "own");
    defaults->setBool("flag", false);
    EXPECT_EQ(defaults->stringForKey("mode"), "own");
    EXPECT_FALSE(defaults->boolForKey("flag"));
    const json stored = {{"mode", "own"}, {"flag", false}};
    EXPECT_EQ(defaults->dictionaryRepresentation(), stored);
    EXPECT_EQ(fileContent(preferences() / "com.kiv.veltrix.tests.registration.json"), stored);
    defaults->setObject("mode", nullptr);  // removes
    EXPECT_EQ(defaults->stringForKey("mode"), "registered again");
    EXPECT_TRUE(defaults->synchronize());

    struct stat folder {
    }, file{};
    ASSERT_EQ(::stat(preferences().c_str(), &folder), 0);
    ASSERT_EQ(::stat((preferences() / "com.kiv.veltrix.tests.registration.json").c_str(), &file), 0);
    EXPECT_EQ(folder.st_mode & 07777, 0700u);
    EXPECT_EQ(file.st_mode & 07777, 0600u);
}

TEST_F(UserDefaultsTest, DomainsAreSharedAndNamedByTheBundle) {
    EXPECT_EQ(UserDefaults::suite(""), nullptr);
    EXPECT_EQ(UserDefaults::suite("../escape"), nullptr);
    EXPECT_EQ(UserDefaults::suite("a"), UserDefaults::suite("a"));
    EXPECT_NE(UserDefaults::suite("a"), UserDefaults::suite("b"));

    testing::TemporaryFolder bare, named;
    { std::ofstream(named.path() / "Info.plist") << R"({"CFBundleIdentifier":"com.kiv.veltrix.tests.app"})"; }
    {
        testing::ScopedEnvironment main(kMainBundleEnv, bare.path().string());
        EXPECT_EQ(UserDefaults::standard()->domain(), "com.kiv.veltrix");
    }
    testing::ScopedEnvironment main(kMainBundleEnv, named.path().string());
    auto standard = UserDefaults::standard();
    EXPECT_EQ(standard->domain(), "com.kiv.veltrix.tests.app");
    EXPECT_EQ(standard, UserDefaults::suite("com.kiv.veltrix.tests.app"));
}

TEST_F(UserDefaultsTest, UnusableFilesReadAsEmptyAndAreReplacedOnWrite) {
    fs::create_directories(preferences());
    const fs::path file = preferences() / "com.kiv.veltrix.tests.broken.json";
    std::string deep = R"({"a":)" + std::string(100, '[') + std::string(100, ']') + "}";
    { std::ofstream(home_.path() / "elsewhere.json") << R"({"planted":true})"; }
    const std::vector<std::pair<std::string, std::function<void()>>> cases = {
        {"garbage", [&] { std::ofstream(file) << "{\"unfinished\": "; }},
        {"array", [&] { std::ofstream(file) << "[1, 2]"; }},
        {"empty", [&] { std::ofstream(file) << ""; }},
        {"too deep", [&] { std::ofstream(file) << deep; }},
        {"over 4 MiB", [&] { std::ofstream(file) << R"({"a":")" << std::string(4 << 20, 'x') << "\"}"; }},
        {"symbolic link", [&] { fs::create_symlink(home_.path() / "elsewhere.json", file); }},
    };
    for (const auto& [name, plant] : cases) {
        std::vector<LogRecord> records;
        LogCapture capture([&](const LogRecord& record) { records.push_back(record); });
        fs::remove(file);
        plant();
        auto defaults = UserDefaults::atPath("broken", file.string());
        EXPECT_EQ(defaults->dictionaryRepresentation(), json::object()) << name;
        EXPECT_FALSE(defaults->boolForKey("planted")) << name;
        ASSERT_EQ(records.size(), 1u) << name;
        EXPECT_EQ(records[0].type, LogType::error) << name;
        EXPECT_NE(records[0].message.find(file.string()), std::string::npos) << records[0].message;

        defaults->setString("fresh", "value");
        EXPECT_FALSE(fs::is_symlink(file)) << name;
        EXPECT_EQ(fileContent(file), (json{{"fresh", "value"}})) << name;
    }
    EXPECT_EQ(fileContent(home_.path() / "elsewhere.json"), (json{{"planted", true}}));
}

// Run as a child by the test below: writes <prefix>-0 ... <prefix>-<kKeys - 1> one by one.
TEST(UserDefaultsChild, WritesKeys) {
    const char* prefix = std::getenv(kChildPrefixVariable);
    if (prefix == nullptr) GTEST_SKIP() << "only as a child of the test below";
    auto defaults = UserDefaults::suite(kSharedDomain);
    for (int i = 0; i < kKeys; ++i) defaults->setString(prefix + ("-" + std::to_string(i)), prefix);
    EXPECT_TRUE(defaults->synchronize());
}

TEST_F(UserDefaultsTest, WritesOfOtherProcessesArriveAndNoneIsLost) {
    auto defaults = UserDefaults::suite(kSharedDomain);
    defaults->setString("parent", "before");
    std::list<testing::Child> children;  // writing at the same time as this process
    for (const char* prefix : {"p", "q", "r"}) {
        children.emplace_back("/proc/self/exe",
                              std::vector<std::string>{"--gtest_filter=UserDefaultsChild.*"},
                              std::vector<std::string>{std::string(kChildPrefixVariable) + "=" + prefix});
    }
    for (int i = 0; i < kKeys; ++i) defaults->setString("parent-" + std::to_string(i), "parent");
    for (auto& child : children) EXPECT_EQ(child.wait(), 0);
    for (const char* prefix : {"p", "q", "r", "parent"}) {
        for (int i = 0; i < kKeys; ++i) {  // the getter takes in the others' file
            EXPECT_EQ(defaults->stringForKey(prefix + ("-" + std::to_string(i))), prefix) << prefix << i;
        }
    }
    EXPECT_EQ(defaults->stringForKey("parent"), "before");
    EXPECT_EQ(defaults->dictionaryRepresentation().size(), 4u * kKeys + 1);
}

}  // namespace
}  // namespace platform
