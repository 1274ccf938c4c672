#pragma once
// The change events the application reacts to. Each travels as a notification whose name is the
// case's raw value, which is the case name itself. Stateless; any thread.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

namespace kiv {

enum class ChangeType : std::uint8_t {
    connected,
    disconnected,
    ipAddressChanged,
    onStartup,
    onShutdown,
    pollingInterval,
    intranet,
    didAwake,
    willSleep,
    VPNDidStart,
    VPNDidStop,
    missingDeviceKey,
    deviceConfigRefreshed,
    deviceConfigEditedLocally,
    waitingOnUserSecurity,
    installCompleted,
    dnsProxyFailed,
};

inline constexpr std::size_t kChangeTypeCount = 17;

std::string_view rawValue(ChangeType type);
// The case whose raw value equals text exactly (case-sensitive, whole text), or no value.
std::optional<ChangeType> changeTypeFromRawValue(std::string_view text);
// Every case in declaration order; subscribers walk it to observe every event.
const std::array<ChangeType, kChangeTypeCount>& allCases();

}  // namespace kiv

template <>
struct std::hash<kiv::ChangeType> {
    std::size_t operator()(kiv::ChangeType type) const noexcept {
        return std::hash<std::string_view>{}(kiv::rawValue(type));
    }
};
