#include "platform/ne/NWError.hpp"

#include <cstring>

namespace platform::ne {

namespace {

std::string posixText(int code) {
    char buffer[256];
    // GNU strerror_r returns the text, which may or may not live in `buffer`.
    const char* text = ::strerror_r(code, buffer, sizeof buffer);
    return text ? std::string(text) : "Unknown error " + std::to_string(code);
}

}  // namespace

std::string NWError::localizedDescription() const {
    switch (kind_) {
        case Kind::posix:
            return posixText(code_);
        case Kind::dns:
            return "DNS error " + std::to_string(code_);
        case Kind::tls:
            return "TLS error " + std::to_string(code_);
    }
    return {};
}

std::string NWError::debugDescription() const {
    switch (kind_) {
        case Kind::posix:
            return "POSIXErrorCode(rawValue: " + std::to_string(code_) + "): " + posixText(code_);
        case Kind::dns:
            return "DNSServiceErrorType(" + std::to_string(code_) + ")";
        case Kind::tls:
            return "OSStatus(" + std::to_string(code_) + ")";
    }
    return {};
}

}  // namespace platform::ne
