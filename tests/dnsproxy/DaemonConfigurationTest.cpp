// kivdnsproxy given provider configurations that would drop queries or leave a rule
// unused: from --vendor-data it exits with the reason; from the preferences file it
// runs and logs the reason once per start.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "Process.hpp"
#include "QueryFixtures.hpp"
#include "fakes/ne/LoopbackSocket.hpp"
#include "platform/ne/DNSProxyPreferences.hpp"

namespace {

using nlohmann::json;
using testing_dnsproxy::Process;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

json usable() {
    return json{{"uuid", "00112233-4455-6677-8899-AABBCCDDEEFF"},
                {"locationTag", "abc"},
                {"resolvers", {"127.0.0.1"}},
                {"filters", json::array()}};
}

json with(const char* key, json value) {
    auto data = usable();
    data[key] = std::move(value);
    return data;
}

struct Case {
    const char* what;
    json vendorData;
    std::string reason;
};

// Each configuration has one fault, and each reason names only its own.
std::vector<Case> cases() {
    auto noUUID = usable();
    noUUID.erase("uuid");
    return {
        {"resolver as a host name", with("resolvers", {"dns.example.com"}),
         R"("resolvers" entry 1 "dns.example.com" is not an IP address (names are not looked up): )"
         "queries sent to it are dropped"},
        {"empty resolver text", with("resolvers", {""}),
         R"("resolvers" entry 1 is an empty text: queries sent to it are dropped)"},
        {"missing uuid", noUUID, R"("uuid" is missing: the proxy takes no queries)"},
        {"resolvers as one text", with("resolvers", "127.0.0.1"),
         R"("resolvers" is not a list of texts: the proxy takes no queries)"},
        {"filter entry of the wrong shape", with("filters", {{{"filter", "intranet.example"}}}),
         R"("filters" entry 1: no "filter" list of dictionaries: the rule is not used)"},
        {"filters holding a number", with("filters", {3}),
         R"("filters" is not a list of dictionaries: no forwarding rule is used)"},
        {"rule resolver as a host name",
         with("filters", {{{"filter", {{{"domain", "corp"}}, {{"resolvers", {"ns.corp"}}}}}}}),
         R"("filters" entry 1: item 2 "resolvers" entry 1 "ns.corp" is not an IP address )"
         "(names are not looked up): queries sent to it are dropped"},
        // Hostile input: a few reasons tell what to mend, the rest are counted.
        {"twenty host names", with("localDNS", std::vector<std::string>(20, "ns")), "and 4 more"},
    };
}

std::string readAll(const fs::path& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::size_t occurrences(const std::string& all, const std::string& text) {
    std::size_t count = 0;
    for (auto at = all.find(text); at != std::string::npos; at = all.find(text, at + text.size())) ++count;
    return count;
}

TEST(DaemonConfiguration, RefusedFromTheCommandLineAndLoggedOnceFromThePreferences) {
    std::string pattern = (fs::temp_directory_path() / "kiv-config-XXXXXX").string();
    const fs::path folder = ::mkdtemp(pattern.data());
    fs::create_directory(folder / "run");
    const auto daemon = [&](std::vector<std::string> args, const std::string& errorFile) {
        args.insert(args.begin(), {KIV_BINARY_DIR "/dnsproxy/kivdnsproxy", "--no-intercept", "--listen",
                                   "127.0.0.1", "--port", "0"});
        return std::make_unique<Process>(
            args,
            std::vector<std::string>{"KIV_RUN_DIR=" + (folder / "run").string(), "KIV_LOG_LEVEL=default"},
            (folder / errorFile).string());
    };
    const auto preferences = (folder / "preferences.json").string();
    auto following = daemon({"--preferences", preferences}, "following.err");
    ASSERT_TRUE(following->waitForLine("following"));
    platform::ne::DNSProxyPreferences saved;
    saved.enabled = true;
    const auto all = cases();
    for (const auto& c : all) {
        const auto file = folder / "vendor.json";
        std::ofstream(file) << c.vendorData.dump();
        const auto status = daemon({"--vendor-data", file.string()}, "refused.err")->wait(10s);
        ASSERT_TRUE(status) << c.what;
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << c.what << ": " << *status;
        EXPECT_EQ(occurrences(readAll(folder / "refused.err"), "\n  " + c.reason + "\n"), 1u) << c.what;

        saved.providerConfiguration = c.vendorData;
        ASSERT_EQ(platform::ne::saveDNSProxyPreferences(preferences, saved), "");
        // The start logs before it completes; "proxy started" follows the completion.
        ASSERT_TRUE(following->waitForLine("proxy started")) << c.what;
    }
    // An "enabled" that is no Boolean stops the proxy and says why, once for the same file.
    auto text = json::parse(readAll(preferences));
    text["enabled"] = "yes";
    for (int i = 0; i < 2; ++i) {
        std::ofstream(preferences + ".tmp") << text.dump();
        fs::rename(preferences + ".tmp", preferences);
        if (i == 0) {
            ASSERT_TRUE(following->waitForLine("proxy stopped"));
        }
    }
    saved.providerConfiguration = usable();
    ASSERT_EQ(platform::ne::saveDNSProxyPreferences(preferences, saved), "");
    ASSERT_TRUE(following->waitForLine("proxy started"));

    // Each start said its own reason, and no later start said it again.
    const auto logged = readAll(folder / "following.err");
    EXPECT_EQ(occurrences(logged,
                          "DNS-proxy preferences: \"enabled\" is not true or false: taken as false, "
                          "the proxy stays stopped\n"),
              1u)
        << logged;
    for (const auto& c : all) {
        EXPECT_EQ(occurrences(logged, "Provider configuration: " + c.reason + "\n"), 1u) << c.what;
    }
    following.reset();
    if (!::testing::Test::HasFailure()) fs::remove_all(folder);
}

}  // namespace

namespace {

// At the live-flow cap every further query is dropped: said once, not once per query.
TEST(DaemonConfiguration, TheFlowCapIsSaidOnce) {
    std::string pattern = (fs::temp_directory_path() / "kiv-cap-XXXXXX").string();
    const fs::path folder = ::mkdtemp(pattern.data());
    fs::create_directory(folder / "run");
    fakes::LoopbackSocket silentResolver;  // takes the queries, never answers
    const auto vendor = folder / "vendor.json";
    std::ofstream(vendor) << usable().dump();
    auto daemon = std::make_unique<Process>(
        std::vector<std::string>{KIV_BINARY_DIR "/dnsproxy/kivdnsproxy", "--no-intercept", "--vendor-data",
                                 vendor.string(), "--listen", "127.0.0.1", "--port", "0", "--upstream-port",
                                 std::to_string(silentResolver.port()), "--max-flows", "1", "--threads", "1"},
        std::vector<std::string>{"KIV_RUN_DIR=" + (folder / "run").string()}, (folder / "cap.err").string());
    const auto line = daemon->waitForLine("listening on 127.0.0.1 port");
    ASSERT_TRUE(line);
    const auto port = static_cast<std::uint16_t>(std::stoi(line->substr(line->rfind(' ') + 1)));
    ASSERT_TRUE(daemon->waitForLine("proxy started"));
    std::vector<std::unique_ptr<fakes::LoopbackSocket>> clients;
    for (std::uint16_t id = 1; id <= 5; ++id) {
        clients.push_back(std::make_unique<fakes::LoopbackSocket>());
        clients.back()->sendTo("127.0.0.1", port, testing_dnsproxy::query(id, "capped.test"));
    }
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (occurrences(readAll(folder / "cap.err"), "Live-flow cap of 1 reached") == 0 &&
           std::chrono::steady_clock::now() < deadline) {
        daemon->readLine(50ms);  // waits a little, reading what the daemon prints meanwhile
    }
    daemon.reset();
    EXPECT_EQ(occurrences(readAll(folder / "cap.err"), "Live-flow cap of 1 reached"), 1u)
        << readAll(folder / "cap.err");
    if (!::testing::Test::HasFailure()) fs::remove_all(folder);
}

}  // namespace
