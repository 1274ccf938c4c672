#pragma once
// Errors of the network-connection stand-in, in the three kinds the original
// platform reports: POSIX error numbers, DNS-service codes and TLS status codes.
// A plain value; any thread.
#include <cstdint>
#include <string>

namespace platform::ne {

class NWError {
public:
    enum class Kind { posix, dns, tls };

    static NWError posix(int errnoValue) { return NWError(Kind::posix, errnoValue); }
    static NWError dns(std::int32_t code) { return NWError(Kind::dns, code); }
    static NWError tls(std::int32_t status) { return NWError(Kind::tls, status); }

    Kind kind() const { return kind_; }
    std::int32_t code() const { return code_; }

    // A sentence for people ("Connection refused").
    std::string localizedDescription() const;
    // The kind and the number as well ("POSIXErrorCode(rawValue: 111): Connection refused").
    std::string debugDescription() const;

    friend bool operator==(const NWError&, const NWError&) = default;

private:
    NWError(Kind kind, std::int32_t code) : kind_(kind), code_(code) {}
    Kind kind_;
    std::int32_t code_;
};

}  // namespace platform::ne
