#pragma once
// The failure raised by BigInt and the IPAddress facade: a name that says which kind
// of failure it is ("ArithmeticException", "ArgumentException", "ipInvalidLength", and
// once "ArithmaticException", so spelled) and a reason text. Callers test name();
// what() reads "<name>: <reason>" for logs.
#include <stdexcept>
#include <string>

namespace dnscodec {

class NamedException : public std::runtime_error {
public:
    NamedException(std::string name, std::string reason);

    const std::string& name() const noexcept { return name_; }
    const std::string& reason() const noexcept { return reason_; }

private:
    std::string name_;
    std::string reason_;
};

}  // namespace dnscodec
