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

bool matches(const asio::ip::udp::endpoint& listening, const asio::ip::udp::endpoint& target,
             const asio::ip::address* connectedLocal) {
    if (listening.port() != target.port()) return false;
    if (listening.address() == target.address()) return true;
    if (!listening.address().is_unspecified()) return false;
    if (listening.address().is_v4() != target.address().is_v4()) return false;
    // A wildcard listener receives whatever is sent to any local address.
    if (isLoopback(target.address())) return true;
    return connectedLocal && *connectedLocal == target.address();
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
