// Where the installer's certificate comes from: the server's address made plain http, without its
// port, with "ssl/ca.der" appended to its path.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "app/shell/AppDelegate.hpp"

namespace {

struct CertificateCase {
    std::string rpcURL;
    std::optional<std::string> expected;
};

class CertificateURLTest : public ::testing::TestWithParam<CertificateCase> {};

TEST_P(CertificateURLTest, IsTheServerAddressOverHttpWithoutPort) {
    const auto url = kiv::AppDelegate::certificateURL(GetParam().rpcURL);
    ASSERT_EQ(url.has_value(), GetParam().expected.has_value()) << GetParam().rpcURL;
    if (url) {
        EXPECT_EQ(url->text(), *GetParam().expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, CertificateURLTest,
    ::testing::Values(
        CertificateCase{"https://192.0.2.10:8443/base", "http://192.0.2.10/base/ssl/ca.der"},
        CertificateCase{"https://192.0.2.10:8443/base/", "http://192.0.2.10/base/ssl/ca.der"},
        CertificateCase{"https://devices.example", "http://devices.example/ssl/ca.der"},
        // Only the scheme changes: "https" in the host or path stays; user and query too.
        CertificateCase{"https://ops@devices.example:9000/https/api?site=1",
                        "http://ops@devices.example/https/api/ssl/ca.der?site=1"},
        CertificateCase{"https://https.example/base", "http://https.example/base/ssl/ca.der"},
        CertificateCase{"HTTPS://devices.example/base", "http://devices.example/base/ssl/ca.der"},
        CertificateCase{"http://devices.example:8080/https", "http://devices.example/https/ssl/ca.der"},
        CertificateCase{"https://[2001:db8::1]:8443/base", "http://[2001:db8::1]/base/ssl/ca.der"},
        CertificateCase{"devices.example/base", std::nullopt}, CertificateCase{"", std::nullopt}));

}  // namespace
