#pragma once
// The 22 settings keys: the names of the user-defaults values, of the installer's KEY=value
// arguments and of the lines of the installer parameter files. Keys are case-sensitive and the
// raw values mix upper snake case with "identifier", "userName" and "userID". The case
// importCert is spelt "DOWNLOAD_CERT". Stateless; any thread.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

namespace kiv {

enum class XNCServerInfoSection : std::uint8_t {
    rpcURL,
    reset,
    stop,
    showTestMenu,
    installKey,
    locationName,
    deviceNamePrefix,
    externalIP,
    deviceKey,
    identifier,
    allowWeakKey,
    importCert,
    deviceName,
    customerEmail,
    customerPassword,
    rpcPort,
    trayType,
    ignoreVPNS,
    userName,
    userID,
    testDeviceConfigPath,
    testDeviceInputConfig,
};

inline constexpr std::size_t kXNCServerInfoSectionCount = 22;

// Every case, in declaration order.
const std::array<XNCServerInfoSection, kXNCServerInfoSectionCount>& allServerInfoSections();

// The key text ("RPC_URL").
std::string_view rawValue(XNCServerInfoSection key);
// The case's own name ("rpcURL"), as the parameter parser prints it.
std::string_view caseName(XNCServerInfoSection key);
// The case whose raw value equals `text` exactly (whole text, case-sensitive), or no value.
std::optional<XNCServerInfoSection> serverInfoSectionFromRawValue(std::string_view text);

}  // namespace kiv

template <>
struct std::hash<kiv::XNCServerInfoSection> {
    std::size_t operator()(kiv::XNCServerInfoSection key) const noexcept {
        return std::hash<std::string_view>{}(kiv::rawValue(key));
    }
};
