#include "app/core/ChangeType.hpp"

#include "model/RawValueEnum.hpp"

namespace kiv {

namespace {

// In case order: a raw value's position is its case.
constexpr std::array<std::string_view, kChangeTypeCount> kRawValues{
    "connected",
    "disconnected",
    "ipAddressChanged",
    "onStartup",
    "onShutdown",
    "pollingInterval",
    "intranet",
    "didAwake",
    "willSleep",
    "VPNDidStart",
    "VPNDidStop",
    "missingDeviceKey",
    "deviceConfigRefreshed",
    "deviceConfigEditedLocally",
    "waitingOnUserSecurity",
    "installCompleted",
    "dnsProxyFailed",
};

static_assert(static_cast<std::size_t>(ChangeType::dnsProxyFailed) + 1 == kChangeTypeCount);

constexpr std::array<ChangeType, kChangeTypeCount> makeAllCases() {
    std::array<ChangeType, kChangeTypeCount> cases{};
    for (std::size_t i = 0; i < kChangeTypeCount; ++i) cases[i] = static_cast<ChangeType>(i);
    return cases;
}

}  // namespace

std::string_view rawValue(ChangeType type) { return kRawValues.at(static_cast<std::size_t>(type)); }

std::optional<ChangeType> changeTypeFromRawValue(std::string_view text) {
    return model::caseFromRawValue<ChangeType>(kRawValues, text);
}

const std::array<ChangeType, kChangeTypeCount>& allCases() {
    static constexpr std::array<ChangeType, kChangeTypeCount> cases = makeAllCases();
    return cases;
}

}  // namespace kiv
