#include <gtest/gtest.h>

#include "platform/ne/NWEndpoint.hpp"
#include "platform/ne/NWError.hpp"
#include "platform/ne/OwnEndpoints.hpp"

namespace {

using platform::ne::NWHostEndpoint;
using platform::ne::OwnEndpoints;
using platform::ne::parsePort;

asio::ip::udp::endpoint ep(const char* address, unsigned short port) {
    return {asio::ip::make_address(address), port};
}

TEST(NWEndpoint, PortTexts) {
    struct Case {
        const char* text;
        std::optional<std::uint16_t> port;
    };
    const Case cases[] = {{"53", 53},           {"0", 0},
                          {"65535", 65535},     {"65536", std::nullopt},
                          {"", std::nullopt},   {"5x", std::nullopt},
                          {"-1", std::nullopt}, {" 53", std::nullopt},
                          {"+53", std::nullopt}};
    for (const auto& c : cases) EXPECT_EQ(parsePort(c.text), c.port) << c.text;
}

TEST(NWEndpoint, HostEndpointsAreIPLiteralsOnly) {
    const auto v6 = NWHostEndpoint::make("::1", "5353");
    ASSERT_TRUE(v6);
    EXPECT_EQ(v6->hostname(), "::1");
    EXPECT_EQ(v6->port(), "5353");
    EXPECT_FALSE(NWHostEndpoint::make("localhost", "53"));
    EXPECT_FALSE(NWHostEndpoint::make("127.0.0.1", "port"));
    EXPECT_FALSE(NWHostEndpoint::make("", "53"));
}

TEST(NWError, DescriptionsNameTheKind) {
    EXPECT_EQ(platform::ne::NWError::posix(ECONNREFUSED).localizedDescription(), "Connection refused");
    EXPECT_NE(
        platform::ne::NWError::posix(ECONNREFUSED).debugDescription().find("POSIXErrorCode(rawValue: 111)"),
        std::string::npos);
    EXPECT_EQ(platform::ne::NWError::dns(-65537).localizedDescription(), "DNS error -65537");
}

TEST(OwnEndpoints, WhatReachesAListeningSocket) {
    OwnEndpoints own;
    own.add(ep("127.0.0.1", 53));
    own.add(ep("0.0.0.0", 5353));
    own.add(ep("::", 853));
    struct Case {
        const char* target;
        unsigned short port;
        const char* local;  // the connected socket's own address
        bool loops;
    };
    const Case cases[] = {
        {"127.0.0.1", 53, "127.0.0.1", true},      // the listening address itself
        {"127.0.0.2", 53, "127.0.0.2", false},     // another loopback address: not bound
        {"127.0.0.1", 54, "127.0.0.1", false},     // another port
        {"127.0.0.53", 5353, "127.0.0.53", true},  // wildcard: every loopback address
        {"192.0.2.1", 5353, "192.0.2.1", true},    // wildcard: an address of this host
        {"192.0.2.1", 5353, "10.0.0.2", false},    // wildcard: a remote address
        {"::1", 5353, "::1", false},               // the v4 wildcard does not take v6
        {"::1", 853, "::1", true},                 // the v6 wildcard does
    };
    for (const auto& c : cases) {
        EXPECT_EQ(own.wouldLoop(ep(c.target, c.port), ep(c.local, 40000)), c.loops)
            << c.target << " " << c.port;
    }
    EXPECT_TRUE(own.wildcardOnPort(5353));
    EXPECT_FALSE(own.wildcardOnPort(53));
    EXPECT_TRUE(own.wouldLoop(ep("127.0.0.1", 53)));
    EXPECT_FALSE(own.wouldLoop(ep("192.0.2.1", 5353)));  // not known to be local before connecting
    own.remove(ep("127.0.0.1", 53));
    EXPECT_FALSE(own.wouldLoop(ep("127.0.0.1", 53)));
}

// Other spellings of an address that reach the same socket: an IPv4-mapped IPv6
// address goes out as IPv4, and the unspecified address means this host's loopback.
TEST(OwnEndpoints, OtherSpellingsOfALocalAddressLoopToo) {
    OwnEndpoints own;
    own.add(ep("127.0.0.1", 53));
    own.add(ep("::1", 53));
    own.add(ep("0.0.0.0", 5353));
    struct Case {
        const char* target;
        unsigned short port;
        const char* local;
        bool loops;
    };
    const Case cases[] = {
        {"::ffff:127.0.0.1", 53, "::ffff:127.0.0.1", true},    // mapped listening address
        {"0.0.0.0", 53, "127.0.0.1", true},                    // unspecified: loopback
        {"::ffff:0.0.0.0", 53, "::ffff:127.0.0.1", true},      // both at once
        {"::", 53, "::1", true},                               // the IPv6 unspecified address
        {"::ffff:127.0.0.2", 53, "::ffff:127.0.0.2", false},   // another loopback address: not bound
        {"::ffff:192.0.2.1", 5353, "::ffff:192.0.2.1", true},  // wildcard: mapped address of this host
        {"::ffff:192.0.2.1", 5353, "::ffff:10.0.0.2", false},  // wildcard: mapped remote address
        {"0.0.0.0", 54, "127.0.0.1", false},                   // another port
    };
    for (const auto& c : cases) {
        EXPECT_EQ(own.wouldLoop(ep(c.target, c.port), ep(c.local, 40000)), c.loops)
            << c.target << " " << c.port;
    }
    // Before any socket exists the spelling alone tells.
    EXPECT_TRUE(own.wouldLoop(ep("::ffff:127.0.0.1", 53)));
    EXPECT_TRUE(own.wouldLoop(ep("0.0.0.0", 53)));
    EXPECT_TRUE(own.wouldLoop(ep("::", 53)));
    EXPECT_TRUE(own.wouldLoop(ep("::ffff:127.0.0.9", 5353)));
}

}  // namespace
