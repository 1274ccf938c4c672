// The identity stand-in over temporary copies of the files it reads.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "fakes/TestFolders.hpp"
#include "platform/HostIdentity.hpp"

namespace platform {
namespace {

void write(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

TEST(HostIdentity, PrettyHostName) {
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases{
        {"PRETTY_HOSTNAME=Studio\n", "Studio"},
        {"CHASSIS=laptop\nPRETTY_HOSTNAME=\"Alice's Laptop\"\n", "Alice's Laptop"},
        {"PRETTY_HOSTNAME='a \"b\"'", "a \"b\""},
        {"PRETTY_HOSTNAME=\"say \\\"hi\\\"\"", "say \"hi\""},
        {"  PRETTY_HOSTNAME=x\r\n", "x"},
        {"# PRETTY_HOSTNAME=commented\nICON_NAME=computer", std::nullopt},
        {"PRETTY_HOSTNAME=", ""},
        {"", std::nullopt},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(HostIdentity::prettyHostName(text), expected) << text;
}

TEST(HostIdentity, ComputerNameFallsBackToTheHostName) {
    kiv::fakes::TemporaryFolder folder;
    const HostIdentity identity(
        HostIdentityPaths{folder.path() / "machine-info", folder.path() / "passwd", folder.path() / "net"});
    EXPECT_EQ(identity.computerName(), identity.hostName());
    write(folder.path() / "machine-info", "PRETTY_HOSTNAME=\n");
    EXPECT_EQ(identity.computerName(), identity.hostName());
    write(folder.path() / "machine-info", "PRETTY_HOSTNAME=\"Lab Mac\"\n");
    EXPECT_EQ(identity.computerName(), "Lab Mac");
}

TEST(HostIdentity, ReleaseAndGecos) {
    EXPECT_EQ(HostIdentity::parseRelease("6.1.0-18-amd64"), (OSVersion{6, 1}));
    EXPECT_EQ(HostIdentity::parseRelease("5.15"), (OSVersion{5, 15}));
    EXPECT_EQ(HostIdentity::parseRelease("6"), std::nullopt);
    EXPECT_EQ(HostIdentity::parseRelease("-6.1"), std::nullopt);
    EXPECT_EQ(HostIdentity::parseRelease("6.x"), std::nullopt);
    EXPECT_EQ(HostIdentity::fullNameFromGecos("Alice Example,Room 1,555"), "Alice Example");
    EXPECT_EQ(HostIdentity::fullNameFromGecos(""), "");
    EXPECT_TRUE(HostIdentity().osVersion().has_value());
}

TEST(HostIdentity, AccountsAndInterfaces) {
    kiv::fakes::TemporaryFolder folder;
    const HostIdentity identity(
        HostIdentityPaths{folder.path() / "machine-info", folder.path() / "passwd", folder.path() / "net"});
    write(folder.path() / "passwd",
          "root:x:0:0:root:/root:/bin/sh\nalice:x:1000:1000:Alice,,,:/home/alice:/bin/sh");
    EXPECT_TRUE(identity.isLocalAccount("alice"));
    EXPECT_FALSE(identity.isLocalAccount("ali"));
    EXPECT_FALSE(identity.isLocalAccount(""));

    write(folder.path() / "net/wlan0/wireless/placeholder", "");
    write(folder.path() / "net/eth0/type", "1\n");
    EXPECT_TRUE(identity.isWireless("wlan0"));
    EXPECT_FALSE(identity.isWireless("eth0"));
    EXPECT_FALSE(identity.isWireless("../net/wlan0"));

    const auto interfaces = identity.networkInterfaces();
    for (const auto& interface : interfaces) EXPECT_NE(interface.name, "lo");
    for (std::size_t i = 0; i < interfaces.size(); ++i) {
        for (std::size_t j = i + 1; j < interfaces.size(); ++j)
            EXPECT_NE(interfaces[i].name, interfaces[j].name);
    }

    const auto me = identity.effectiveUser();
    ASSERT_TRUE(me.has_value());
    EXPECT_FALSE(me->loginName.empty());
    EXPECT_EQ(me->fullName.find(','), std::string::npos);
}

}  // namespace
}  // namespace platform
