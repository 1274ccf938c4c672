// The cache flush through the helper: systemd-resolved's FlushCaches on the bus the helper is
// given (a stand-in on a private bus), and a logged no-op where resolved does not run.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "fakes/ChildProcess.hpp"
#include "tests/helper/HelperServiceFixture.hpp"

namespace kiv::testing {
namespace {

class HelperFlushTest : public HelperServiceFixture {};

TEST_F(HelperFlushTest, FlushesResolvedsCachesForAnyLocalUser) {
    fs::create_directories(folder_.path() / "bus");
    fakes::ChildProcess resolved("/usr/bin/python3", {KIV_SOURCE_DIR "/tests/helper/resolved_mock.py",
                                                      (folder_.path() / "bus").string()});
    const std::string first = resolved.readLine();
    ASSERT_EQ(first.rfind("address ", 0), 0u) << first;
    ASSERT_EQ(resolved.readLine(), "ready");
    busAddress_ = first.substr(8);
    helper_.reset();
    start();

    const std::optional<uid_t> caller = ::geteuid() == 0 ? std::optional<uid_t>(65534) : std::nullopt;
    EXPECT_EQ(call(helper::selector::flushDNS, {platform::Bytes(externalForm())}, caller).code, std::nullopt);
    ASSERT_TRUE(resolved.send("calls"));
    const auto calls = nlohmann::json::parse(resolved.readLine(), nullptr, false);
    ASSERT_TRUE(calls.is_array()) << calls;
    int flushes = 0;
    for (const auto& c : calls) flushes += c.is_array() && !c.empty() && c[0] == "FlushCaches";
    EXPECT_EQ(flushes, 1) << calls;
    EXPECT_NE(logText().find("FlushCaches output caches flushed"), std::string::npos) << logText();
}

TEST_F(HelperFlushTest, IsALoggedNoOpWithoutResolved) {
    EXPECT_EQ(call(helper::selector::flushDNS, {platform::Bytes(externalForm())}).code, std::nullopt);
    EXPECT_NE(logText().find("systemd-resolved is not running"), std::string::npos) << logText();
}

}  // namespace
}  // namespace kiv::testing
