#include <gtest/gtest.h>
#include <stdlib.h>

#include "platform/xpc/TestSupport.hpp"
#include "platform/xpc/XPCServiceAddress.hpp"

namespace platform {
namespace {

TEST(XPCServiceAddress, ServiceNames) {
    xpctest::TempRunDir dir;
    struct Case {
        std::string name;
        bool valid;
    };
    for (const auto& c :
         {Case{"com.kiv.veltrax.KIVDNSProxy", true}, Case{"a", true}, Case{"A-b_c.9", true}, Case{"", false},
          Case{".hidden", false}, Case{"-x", false}, Case{"a/b", false}, Case{"..", false},
          Case{"a b", false}, Case{std::string(255, 'a'), false}, Case{std::string("a\0b", 3), false}}) {
        const auto address = xpcServiceAddress(c.name);
        EXPECT_EQ(address.error.empty(), c.valid) << c.name << ": " << address.error;
    }
}

TEST(XPCServiceAddress, PathMustFitSunPath) {
    // "/tmp/kivxpc.XXXXXX" is 18 bytes; "/" and ".sock" add 6.
    xpctest::TempRunDir dir;
    const std::size_t room = sizeof(sockaddr_un::sun_path) - 1 - dir.path().string().size() - 6;
    const auto fits = xpcServiceAddress(std::string(room, 'a'));
    EXPECT_TRUE(fits.error.empty()) << fits.error;
    EXPECT_EQ(fits.path.size(), sizeof(sockaddr_un::sun_path) - 1);
    const auto tooLong = xpcServiceAddress(std::string(room + 1, 'a'));
    EXPECT_NE(tooLong.error.find("longer than the limit of 107"), std::string::npos) << tooLong.error;
}

TEST(XPCServiceAddress, RunFolderComesFromTheEnvironment) {
    ::setenv(kXPCRunDirEnv, "/x/y//", 1);
    EXPECT_EQ(xpcServiceAddress("s").path, "/x/y/s.sock");
    ::setenv(kXPCRunDirEnv, "", 1);
    EXPECT_EQ(xpcServiceAddress("s").path, "/run/kiv/s.sock");
    ::unsetenv(kXPCRunDirEnv);
    EXPECT_EQ(xpcRunDirectory(), "/run/kiv");
}

}  // namespace
}  // namespace platform
