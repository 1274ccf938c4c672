#pragma once
// What a certificate download may fetch, for the helper's download command and the
// application's installation alike: http or https with a host, through at most
// kMaxCertificateRedirects redirects, at most kMaxCertificateBytes.
#include <string>

#include "platform/keychain/CertificateTrust.hpp"

namespace platform {

inline constexpr long kMaxCertificateRedirects = 5;

bool acceptableCertificateURL(const std::string& url);

}  // namespace platform
