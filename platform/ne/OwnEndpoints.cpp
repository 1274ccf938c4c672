#include "platform/ne/OwnEndpoints.hpp"

#include <algorithm>

namespace platform::ne {

namespace {

bool isLoopback(const asio::ip::address& address) {
    if (address.is_v4()) return address.to_v4().is_loopback();
    const auto v6 = address.to_v6();
    if (v6.is_v4_mapped()) return asio::ip::make_address_v4(asio::ip::v4_mapped, v6).is_loopback();
    return v6.is_loopback();
}

// The address a datagram sent to `address` really goes to: an IPv4-mapped address
// leaves as IPv4, and the unspecified address stands for this host's loopback.
asio::ip::address destination(const asio::ip::address& address) {
    asio::ip::address result = address;
    if (result.is_v6() && result.to_v6().is_v4_mapped())
        result = asio::ip::make_address_v4(asio::ip::v4_mapped, result.to_v6());
    if (result.is_unspecified()) {
        if (result.is_v4()) return asio::ip::address_v4::loopback();
        return asio::ip::address_v6::loopback();
    }
    return result;
}

bool matches(const asio::ip::udp::endpoint& listening, const asio::ip::udp::endpoint& target,
             const asio::ip::address* connectedLocal) {
    if (listening.port() != target.port()) return false;
    const auto to = destination(target.address());
    if (listening.address() == to) return true;
    if (!listening.address().is_unspecified()) return false;
    if (listening.address().is_v4() != to.is_v4()) return false;
    // A wildcard listener receives whatever is sent to any local address.
    if (isLoopback(to)) return true;
    return connectedLocal && destination(*connectedLocal) == to;
}

}  // namespace

OwnEndpoints& OwnEndpoints::shared() {
    static OwnEndpoints instance;
    return instance;
}

void OwnEndpoints::add(const asio::ip::udp::endpoint& listening) {
    std::lock_guard lock(writeMutex_);
    auto next = std::make_shared<List>(*list_.load());
    next->push_back(listening);
    list_.store(std::move(next));
}

void OwnEndpoints::remove(const asio::ip::udp::endpoint& listening) {
    std::lock_guard lock(writeMutex_);
    auto next = std::make_shared<List>(*list_.load());
    if (auto it = std::find(next->begin(), next->end(), listening); it != next->end()) next->erase(it);
    list_.store(std::move(next));
}

bool OwnEndpoints::wouldLoop(const asio::ip::udp::endpoint& target,
                             const asio::ip::udp::endpoint& connectedLocal) const {
    const auto list = list_.load();
    const auto local = connectedLocal.address();
    return std::any_of(list->begin(), list->end(),
                       [&](const auto& listening) { return matches(listening, target, &local); });
}

bool OwnEndpoints::wouldLoop(const asio::ip::udp::endpoint& target) const {
    const auto list = list_.load();
    return std::any_of(list->begin(), list->end(),
                       [&](const auto& listening) { return matches(listening, target, nullptr); });
}

bool OwnEndpoints::wildcardOnPort(unsigned short port) const {
    const auto list = list_.load();
    return std::any_of(list->begin(), list->end(), [&](const auto& listening) {
        return listening.port() == port && listening.address().is_unspecified();
    });
}

}  // namespace platform::ne
