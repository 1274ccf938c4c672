#include "platform/keychain/CertificateDownload.hpp"

#include "platform/http/URL.hpp"

namespace platform {

bool acceptableCertificateURL(const std::string& url) {
    const auto parsed = URL::parse(url);
    return parsed && (parsed->scheme() == "http" || parsed->scheme() == "https") && !parsed->host().empty();
}

}  // namespace platform
