#include "app/core/XNCServerInfoSection.hpp"

#include <utility>

namespace kiv {
namespace {

struct Names {
    std::string_view raw;   // the key
    std::string_view name;  // the case
};

// In declaration order: a case's position is its value.
constexpr std::array<Names, kXNCServerInfoSectionCount> kNames{{
    {"RPC_URL", "rpcURL"},
    {"RESET", "reset"},
    {"STOP", "stop"},
    {"SHOW_TEST_MENU", "showTestMenu"},
    {"INSTALL_KEY", "installKey"},
    {"LOCATION_NAME", "locationName"},
    {"DEVICE_NAME_PREFIX", "deviceNamePrefix"},
    {"EXTERNAL_IP", "externalIP"},
    {"DEVICE_KEY", "deviceKey"},
    {"identifier", "identifier"},
    {"ALLOW_WEAK_KEY", "allowWeakKey"},
    {"DOWNLOAD_CERT", "importCert"},
    {"DEVICE_NAME", "deviceName"},
    {"CUSTOMER_EMAIL", "customerEmail"},
    {"CUSTOMER_PASSWORD", "customerPassword"},
    {"RPC_PORT", "rpcPort"},
    {"TRAY_TYPE", "trayType"},
    {"IGNORE_VPNS", "ignoreVPNS"},
    {"userName", "userName"},
    {"userID", "userID"},
    {"TEST_DEVICE_CONFIG_PATH", "testDeviceConfigPath"},
    {"TEST_DEVICE_CONFIG", "testDeviceInputConfig"},
}};

static_assert(static_cast<std::size_t>(XNCServerInfoSection::testDeviceInputConfig) + 1 ==
              kXNCServerInfoSectionCount);

constexpr std::array<XNCServerInfoSection, kXNCServerInfoSectionCount> makeAllCases() {
    std::array<XNCServerInfoSection, kXNCServerInfoSectionCount> cases{};
    for (std::size_t i = 0; i < cases.size(); ++i) cases[i] = static_cast<XNCServerInfoSection>(i);
    return cases;
}

constexpr std::array<XNCServerInfoSection, kXNCServerInfoSectionCount> kAllCases = makeAllCases();

}  // namespace

const std::array<XNCServerInfoSection, kXNCServerInfoSectionCount>& allServerInfoSections() {
    return kAllCases;
}

std::string_view rawValue(XNCServerInfoSection key) { return kNames.at(static_cast<std::size_t>(key)).raw; }

std::string_view caseName(XNCServerInfoSection key) { return kNames.at(static_cast<std::size_t>(key)).name; }

std::optional<XNCServerInfoSection> serverInfoSectionFromRawValue(std::string_view text) {
    for (const XNCServerInfoSection key : kAllCases) {
        if (rawValue(key) == text) return key;
    }
    return std::nullopt;
}

}  // namespace kiv
