#pragma once
// Test helper: a plain UDP socket on a loopback address (port 0), for playing a
// DNS client or server without any framework in between.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace fakes {

class LoopbackSocket {
public:
    explicit LoopbackSocket(const std::string& address = "127.0.0.1", std::uint16_t port = 0) {
        v6_ = address.find(':') != std::string::npos;
        fd_ = ::socket(v6_ ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) throw std::runtime_error("socket");
        sockaddr_storage storage{};
        socklen_t length = fill(address, port, storage);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&storage), length) != 0) {
            ::close(fd_);
            throw std::runtime_error("bind " + address);
        }
        sockaddr_storage bound{};
        socklen_t boundLength = sizeof bound;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &boundLength);
        port_ = ntohs(v6_ ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                          : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    }
    ~LoopbackSocket() { close(); }
    LoopbackSocket(const LoopbackSocket&) = delete;
    LoopbackSocket& operator=(const LoopbackSocket&) = delete;

    std::uint16_t port() const { return port_; }
    int fd() const { return fd_; }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    void sendTo(const std::string& address, std::uint16_t port,
                const std::vector<std::uint8_t>& bytes) const {
        sockaddr_storage storage{};
        socklen_t length = fill(address, port, storage);
        ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&storage), length);
    }

    struct Datagram {
        std::vector<std::uint8_t> bytes;
        std::string fromAddress;
        std::uint16_t fromPort = 0;
    };

    // One datagram, or nothing within `timeoutMs`.
    std::optional<Datagram> receive(int timeoutMs = 2000) const {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
        return receiveNow();
    }

    std::optional<Datagram> receiveNow() const {
        std::vector<std::uint8_t> buffer(65536);
        sockaddr_storage from{};
        socklen_t length = sizeof from;
        const ssize_t got = ::recvfrom(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr*>(&from), &length);
        if (got < 0) return std::nullopt;
        buffer.resize(static_cast<std::size_t>(got));
        Datagram datagram{std::move(buffer), {}, 0};
        char text[INET6_ADDRSTRLEN] = {};
        if (from.ss_family == AF_INET6) {
            const auto* a = reinterpret_cast<sockaddr_in6*>(&from);
            ::inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
            datagram.fromPort = ntohs(a->sin6_port);
        } else {
            const auto* a = reinterpret_cast<sockaddr_in*>(&from);
            ::inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
            datagram.fromPort = ntohs(a->sin_port);
        }
        datagram.fromAddress = text;
        return datagram;
    }

private:
    socklen_t fill(const std::string& address, std::uint16_t port, sockaddr_storage& storage) const {
        if (v6_) {
            auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
            a->sin6_family = AF_INET6;
            a->sin6_port = htons(port);
            ::inet_pton(AF_INET6, address.c_str(), &a->sin6_addr);
            return sizeof(sockaddr_in6);
        }
        auto* a = reinterpret_cast<sockaddr_in*>(&storage);
        a->sin_family = AF_INET;
        a->sin_port = htons(port);
        ::inet_pton(AF_INET, address.c_str(), &a->sin_addr);
        return sizeof(sockaddr_in);
    }

    int fd_ = -1;
    bool v6_ = false;
    std::uint16_t port_ = 0;
};

}  // namespace fakes
