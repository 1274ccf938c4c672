// The shipping destination's local side: entries, sending points, the pending batch,
// the analytics record, and the files it keeps.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "ShippingTestSupport.hpp"
#include "app/Logger/FileDestination.hpp"
#include "fakes/TestFolders.hpp"
#include "platform/Bundle.hpp"

namespace kiv::shippingtest {
namespace {

using nlohmann::json;

class Shipping : public ShippingFixture {};

TEST_F(Shipping, EntryIsOneJSONLineWithSevenKeys) {
    auto destination = make();
    const auto text = onQueue(destination, [&] {
        return destination->send(LogFacilityLevel::warning, "disk \"low\"", "worker.queue",
                                 "/src/app/core/ConfigFileWriter.cpp", "check()", 77,
                                 json{{"user", "ignored"}});
    });
    ASSERT_TRUE(text.has_value());
    const json entry = json::parse(*text);
    const json expected = {{"timestamp", 1700000000.25},
                           {"level", 3},
                           {"message", "disk \"low\""},
                           {"thread", "worker.queue"},
                           {"fileName", "ConfigFileWriter.cpp"},
                           {"function", "check()"},
                           {"line", 77}};
    EXPECT_EQ(entry, expected);
    EXPECT_EQ(readFile(base / "entries.json"), *text + "\n");
    EXPECT_EQ(destination->entriesFileURL, base / "entries.json");
    EXPECT_EQ(destination->sendingFileURL, base / "sending.json");
    EXPECT_EQ(destination->analyticsFileURL, base / "analytics.json");
    EXPECT_EQ(destination->defaultHashValue(), 3);
}

TEST_F(Shipping, MessageThatIsNotUTF8IsKeptWithReplacementCharacters) {
    auto destination = make();
    const auto text = onQueue(destination, [&] {
        return destination->send(LogFacilityLevel::info,
                                 "a\xff"
                                 "b",
                                 "", "", "f()", 1, std::nullopt);
    });
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(json::parse(*text)["message"],
              "a\xef\xbf\xbd"
              "b");
}

struct PointsCase {
    const char* name;
    ShippingDestination::SendingPoints points;
    LogFacilityLevel level;
    int callsWithoutSending;  // then one more call ships (-1: never within 50 calls)
};

class SendingPointsTest : public ShippingFixture, public ::testing::WithParamInterface<PointsCase> {};

TEST_P(SendingPointsTest, ShipsExactlyWhenThePointsCrossTheThreshold) {
    const PointsCase& c = GetParam();
    auto destination = make();  // no server: every upload fails at once, the batch stays
    destination->sendingPoints = c.points;
    const int quiet = c.callsWithoutSending < 0 ? 50 : c.callsWithoutSending;
    log(destination, c.level, "m", quiet);
    EXPECT_FALSE(fs::exists(base / "sending.json")) << c.name;
    if (c.callsWithoutSending < 0) {
        EXPECT_EQ(onQueue(destination, [&] { return destination->points(); }), 0);
        return;
    }
    log(destination, c.level, "m");
    EXPECT_TRUE(fs::exists(base / "sending.json")) << c.name;
    EXPECT_EQ(lineCount(base / "sending.json"), static_cast<std::size_t>(quiet + 1));
    EXPECT_FALSE(fs::exists(base / "entries.json"));
    EXPECT_EQ(onQueue(destination, [&] { return destination->points(); }), 0);
    EXPECT_FALSE(onQueue(destination, [&] { return destination->sendingInProgress(); }));
}

ShippingDestination::SendingPoints withThreshold(std::int64_t threshold, std::int64_t error = 10) {
    ShippingDestination::SendingPoints points;
    points.threshold = threshold;
    points.error = error;
    return points;
}

INSTANTIATE_TEST_SUITE_P(Cases, SendingPointsTest,
                         ::testing::Values(PointsCase{"ten debug calls", {}, LogFacilityLevel::debug, 9},
                                           PointsCase{"two info calls", {}, LogFacilityLevel::info, 1},
                                           PointsCase{"one error call", {}, LogFacilityLevel::error, 0},
                                           PointsCase{"verbose never", {}, LogFacilityLevel::verbose, -1},
                                           PointsCase{"threshold 0 still needs one point", withThreshold(0),
                                                      LogFacilityLevel::verbose, -1},
                                           PointsCase{"threshold 0 with a point", withThreshold(0),
                                                      LogFacilityLevel::debug, 0},
                                           PointsCase{"above 1000 ships whatever the threshold",
                                                      withThreshold(5000, 100), LogFacilityLevel::error, 10}),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             for (char& ch : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             }
                             return name;
                         });

TEST_F(Shipping, FirstCallShipsEntriesLeftFromAnEarlierRun) {
    fs::create_directories(base);
    writeFile(base / "entries.json", "{\"message\":\"1\"}\n{\"message\":\"2\"}\n{\"message\":\"3\"}\n");
    auto destination = make();
    EXPECT_TRUE(onQueue(destination, [&] { return destination->initialSending(); }));
    log(destination, LogFacilityLevel::debug, "fourth");
    EXPECT_EQ(lineCount(base / "sending.json"), 4u);
    EXPECT_FALSE(onQueue(destination, [&] { return destination->initialSending(); }));
}

TEST_F(Shipping, FirstCallWithNoEarlierEntriesDoesNotShip) {
    auto destination = make();
    log(destination, LogFacilityLevel::debug, "first");
    EXPECT_FALSE(fs::exists(base / "sending.json"));
    EXPECT_FALSE(onQueue(destination, [&] { return destination->initialSending(); }));
}

TEST_F(Shipping, FirstCallThatCrossesTheThresholdLeavesTheStartCheckPending) {
    auto destination = make();
    log(destination, LogFacilityLevel::error, "boom");
    EXPECT_TRUE(fs::exists(base / "sending.json"));
    EXPECT_TRUE(onQueue(destination, [&] { return destination->initialSending(); }));
}

TEST_F(Shipping, PendingBatchIsNeverMergedWithNewEntries) {
    auto destination = make();
    log(destination, LogFacilityLevel::error, "first batch");
    const std::string pending = readFile(base / "sending.json");
    log(destination, LogFacilityLevel::error, "second batch");
    EXPECT_EQ(readFile(base / "sending.json"), pending);
    EXPECT_EQ(lineCount(base / "entries.json"), 1u);
    takeDiagnostics();
    log(destination, LogFacilityLevel::debug, "third");
    EXPECT_EQ(lineCount(base / "entries.json"), 2u);
}

TEST_F(Shipping, EntriesSkipsLinesThatAreNotObjectsAndReportsBadOnes) {
    auto destination = make();
    const fs::path file = support.path() / "mixed.json";
    writeFile(file,
              "{\"a\":1}\n"         // 1: taken
              "not braced\n"        // 2: skipped silently
              "{broken}\n"          // 3: reported
              "{}\n"                // 4: empty object, skipped
              "[{\"a\":2}]\n"       // 5: not braced, skipped
              "{\"s\":\"\xff\"}\n"  // 6: not UTF-8: reported
              "\n"                  // 7: empty
              "{\"b\":2}");         // 8: taken, no final line feed
    takeDiagnostics();
    const auto found = onQueue(destination, [&] { return destination->entries(file); });
    ASSERT_TRUE(found.has_value());
    ASSERT_EQ(found->size(), 2u);
    EXPECT_EQ((*found)[0], (json{{"a", 1}}));
    EXPECT_EQ((*found)[1], (json{{"b", 2}}));
    const std::string url = FileDestination::urlDescription(file);
    EXPECT_EQ(takeDiagnostics(),
              (std::vector<std::string>{
                  "ShippingDestination: Error! Could not parse line 3 in file " + url + ".",
                  "ShippingDestination: Error! Could not parse line 6 in file " + url + "."}));

    EXPECT_FALSE(onQueue(destination, [&] { return destination->entries(support.path() / "missing"); }));
    EXPECT_EQ(takeDiagnostics(),
              (std::vector<std::string>{"ShippingDestination: Error! Could not read file " +
                                        FileDestination::urlDescription(support.path() / "missing") + "."}));
}

// The files are the user's to write: a line nested deeper than any entry could be must
// not take the process down when the batch is copied into the payload.
TEST_F(Shipping, DeeplyNestedLineIsReportedNotFollowed) {
    auto destination = make();
    fs::create_directories(base);
    const std::size_t depth = 200000;
    writeFile(base / "sending.json",
              "{\"a\":1}\n{\"deep\":" + std::string(depth, '[') + std::string(depth, ']') + "}\n");
    takeDiagnostics();
    onQueue(destination, [&] { destination->sendNow(); });  // no server: the batch stays
    EXPECT_TRUE(fs::exists(base / "sending.json"));
    const auto messages = takeDiagnostics();
    EXPECT_NE(std::find(messages.begin(), messages.end(),
                        "ShippingDestination: Error! Could not parse line 2 in file " +
                            FileDestination::urlDescription(base / "sending.json") + "."),
              messages.end());
    EXPECT_NE(
        std::find(messages.begin(), messages.end(), "ShippingDestination: Encrypting 1 log entries ..."),
        messages.end());

    writeFile(base / "analytics.json", std::string(depth, '[') + std::string(depth, ']'));
    EXPECT_FALSE(onQueue(destination, [&] { return destination->dictionary(base / "analytics.json"); }));
}

// A sending file from which nothing can be sent is dropped; otherwise every later
// batch would wait behind it for ever.
TEST_F(Shipping, SendingFileWithoutUsableEntriesIsDropped) {
    auto destination = make();
    fs::create_directories(base);
    writeFile(base / "sending.json", "garbage\n{not json}\n\xff\xfe\n");
    takeDiagnostics();
    onQueue(destination, [&] { destination->sendNow(); });
    EXPECT_FALSE(fs::exists(base / "sending.json"));
    const auto messages = takeDiagnostics();
    EXPECT_NE(std::find(messages.begin(), messages.end(),
                        "ShippingDestination: Warning! Dropping " +
                            FileDestination::urlDescription(base / "sending.json") +
                            ": it holds no usable entries."),
              messages.end());
    // The next crossing moves the new entries as usual.
    log(destination, LogFacilityLevel::error, "after");
    EXPECT_EQ(lineCount(base / "sending.json"), 1u);
}

// One that cannot be read now (here: a link, which is never followed) is kept.
TEST_F(Shipping, UnreadableSendingFileIsKept) {
    auto destination = make();
    fs::create_directories(base);
    writeFile(support.path() / "target.json", "{\"a\":1}\n");
    fs::create_symlink(support.path() / "target.json", base / "sending.json");
    onQueue(destination, [&] { destination->sendNow(); });
    EXPECT_TRUE(fs::is_symlink(base / "sending.json"));
    EXPECT_FALSE(onQueue(destination, [&] { return destination->sendingInProgress(); }));
    // Appending never writes through a link either.
    writeFile(support.path() / "victim", "keep\n");
    fs::create_symlink(support.path() / "victim", base / "entries.json");
    log(destination, LogFacilityLevel::verbose, "x");
    EXPECT_EQ(readFile(support.path() / "victim"), "keep\n");
}

TEST_F(Shipping, EmptyKeyNeverUploadsAndKeepsTheBatch) {
    auto destination = make("http://127.0.0.1:9/never", {}, "");
    log(destination, LogFacilityLevel::error, "one");
    EXPECT_TRUE(fs::exists(base / "sending.json"));
    EXPECT_FALSE(onQueue(destination, [&] { return destination->sendingInProgress(); }));
    log(destination, LogFacilityLevel::error, "two");
    EXPECT_EQ(lineCount(base / "sending.json"), 1u);
    EXPECT_FALSE(onQueue(destination, [&] { return destination->sendingInProgress(); }));
    for (const std::string& line : takeDiagnostics())
        EXPECT_EQ(line.find("assembling"), std::string::npos) << line;
}

TEST_F(Shipping, UploadWithoutServerURLFailsAtOnce) {
    auto destination = make();
    std::optional<std::pair<bool, int>> outcome;
    onQueue(destination,
            [&] { destination->upload("x", [&](bool ok, int status) { outcome.emplace(ok, status); }); });
    EXPECT_EQ(outcome, std::make_pair(false, 0));
}

TEST_F(Shipping, FileOperations) {
    auto destination = make();
    const fs::path file = support.path() / "f.txt";
    EXPECT_TRUE(destination->appendLine("one", file, false));  // created
    EXPECT_TRUE(destination->appendLine("two", file, false));  // appended
    EXPECT_EQ(readFile(file), "one\ntwo\n");
    EXPECT_TRUE(destination->appendLine("three", file, true));  // replaced
    EXPECT_EQ(readFile(file), "three\n");
    EXPECT_FALSE(destination->appendLine("x", support.path() / "no" / "such" / "folder", true));
    EXPECT_TRUE(destination->deleteFile(file));
    EXPECT_FALSE(destination->deleteFile(file));
    // No temporary files are left behind.
    for (const auto& item : fs::directory_iterator(support.path())) {
        EXPECT_EQ(item.path().filename().string().rfind(".f.txt", 0), std::string::npos) << item.path();
    }
    writeFile(file, "[1,2]");
    EXPECT_FALSE(destination->dictionary(file).has_value());
    writeFile(file, "{\"k\":\"v\"}");
    EXPECT_EQ(destination->dictionary(file), (json{{"k", "v"}}));
}

TEST_F(Shipping, AnalyticsCountsStartsAndKeepsTheFirstOnes) {
    auto first = make();
    const json one = json::parse(readFile(base / "analytics.json"));
    EXPECT_EQ(one["starts"], 1);
    EXPECT_EQ(one["uuid"], first->uuid());
    EXPECT_EQ(one["firstStart"], 1700000000.25);
    EXPECT_EQ(one["firstAppVersion"], "2.5.1");
    EXPECT_EQ(one["appBuild"], 317);
    EXPECT_EQ(first->uuid().size(), 36u);

    clock->advance(std::chrono::seconds(60));
    auto second = make();
    const json two = json::parse(readFile(base / "analytics.json"));
    EXPECT_EQ(two["starts"], 2);
    EXPECT_EQ(two["uuid"], first->uuid());
    EXPECT_EQ(second->uuid(), first->uuid());
    EXPECT_EQ(two["firstStart"], 1700000000.25);
    EXPECT_EQ(two["lastStart"], 1700000060.25);

    // Reading without update changes nothing.
    const json read = second->analytics(second->analyticsFileURL, false);
    EXPECT_EQ(read["starts"], 2);
    EXPECT_EQ(read["lastStart"], 1700000060.25);
}

TEST_F(Shipping, AnalyticsUserNameRules) {
    struct Case {
        const char* stored;
        const char* configured;
        bool update;
        const char* expected;
    } cases[] = {
        {"old", "new", false, "old"}, {"old", "new", true, "new"}, {"old", "", true, "old"},
        {"", "new", false, "new"},    {"", "", true, ""},
    };
    auto destination = make();
    for (const Case& c : cases) {
        writeFile(destination->analyticsFileURL, json{{"userName", c.stored}, {"starts", 4}}.dump());
        destination->analyticsUserName = c.configured;
        const json record = destination->analytics(destination->analyticsFileURL, c.update);
        EXPECT_EQ(record["userName"], c.expected) << c.stored << "/" << c.configured << "/" << c.update;
        EXPECT_EQ(record["starts"], c.update ? 5 : 4);
    }
}

TEST_F(Shipping, AnalyticsIgnoresStoredValuesOfTheWrongKind) {
    fs::create_directories(base);
    writeFile(
        base / "analytics.json",
        json{{"uuid", 12}, {"starts", "many"}, {"firstStart", "yesterday"}, {"firstAppBuild", 1.5}}.dump());
    auto destination = make();
    const json record = json::parse(readFile(base / "analytics.json"));
    EXPECT_EQ(record["starts"], 1);
    EXPECT_TRUE(record["uuid"].is_string());
    EXPECT_EQ(record["firstStart"], 1700000000.25);
    EXPECT_EQ(record["firstAppBuild"], 317);
    // A file that is not JSON at all is replaced by a fresh record.
    writeFile(base / "analytics.json", "\x01\x02 not json");
    EXPECT_EQ(json::parse(readFile(make()->analyticsFileURL))["starts"], 1);
}

// Without pinned versions both come from the main bundle's Info.plist, and the first
// start keeps them as "firstAppVersion"/"firstAppBuild".
TEST_F(Shipping, VersionsComeFromTheMainBundleByDefault) {
    struct Case {
        const char* info;
        const char* version;
        std::int64_t build;
    };
    const Case cases[] = {
        {R"({"CFBundleShortVersionString": "2.0.3", "CFBundleVersion": "41"})", "2.0.3", 41},
        {R"({"CFBundleVersion": "-7"})", "", -7},
        {R"({"CFBundleShortVersionString": 2, "CFBundleVersion": 41})", "", 0},
        {R"({"CFBundleVersion": "3.1"})", "", 0},
        {R"({"CFBundleVersion": "12 "})", "", 0},
        {R"({"CFBundleVersion": "99999999999999999999"})", "", 0},
        {"not json", "", 0},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.info);
        // A folder per case: the main bundle is read again only when its folder changes.
        const fs::path bundle = support.path() / ("bundle" + std::to_string(index++));
        fs::create_directories(bundle);
        writeFile(bundle / "Info.plist", c.info);
        const fakes::ScopedEnvironment mainBundle(platform::kMainBundleEnv, bundle.string());
        ShippingEnvironment env = environment();
        env.appVersion.reset();
        env.appBuild.reset();
        fs::remove(base / "analytics.json");
        auto destination =
            ShippingDestination::make("a", "b", kKey, std::nullopt, "e", "s", "analytics.json", env);
        EXPECT_EQ(destination->appVersion(), c.version);
        EXPECT_EQ(destination->appBuild(), c.build);
        const json record = json::parse(readFile(base / "analytics.json"));
        EXPECT_EQ(record["firstAppVersion"], c.version);
        EXPECT_EQ(record["firstAppBuild"], c.build);
    }
}

TEST_F(Shipping, DeviceDetails) {
    const json details = make()->deviceDetails();
    EXPECT_EQ(details["os"], "OSX");
    EXPECT_EQ(details["deviceName"], "");
    EXPECT_EQ(details["deviceModel"], "");
    EXPECT_EQ(details["hostName"], "");
    const std::string version = details["osVersion"];
    EXPECT_EQ(std::count(version.begin(), version.end(), '.'), 2) << version;
}

}  // namespace
}  // namespace kiv::shippingtest
