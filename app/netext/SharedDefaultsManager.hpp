#pragma once
// The copy of the device configuration in the defaults domain that the application shares with
// the DNS-proxy extension (its app group). The extension takes its working settings from the
// provider configuration; this copy is for its side only.
//
// A value without members; the domain object is made once per process and shared. Any thread.
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "app/core/Service.hpp"
#include "model/DeviceConfiguration.hpp"
#include "platform/UserDefaults.hpp"

namespace kiv {

// Plain access to a defaults domain.
class UserDefaultsProtocol {
public:
    virtual ~UserDefaultsProtocol() = default;
    virtual void setValue(const nlohmann::json& value, const std::string& key) const = 0;
    virtual std::optional<nlohmann::json> value(const std::string& key) const = 0;
    virtual void removeValue(const std::string& key) const = 0;
    virtual bool synchronize() const = 0;
};

struct SharedDefaultsManager final : UserDefaultsProtocol {
    static constexpr const char* kSuiteName = "R4NB8TQ2VZ.com.veltrix.DNSProxy.app-group";
    static constexpr const char* kNetworkExtensionKey = "network_extension_key";

    // The app group's domain; null when the platform gives none.
    static platform::UserDefaultsPtr suite();

    // Replaces the stored copy with `deviceConfig` as JSON text (the encoder's defaults). An
    // encoding failure is printed and the earlier copy stays.
    void save(const model::DeviceConfiguration& deviceConfig) const;
    // The stored copy, decoded; nothing when none is stored or it does not decode.
    static std::optional<model::DeviceConfiguration> stored();

    void setValue(const nlohmann::json& value, const std::string& key) const override;
    std::optional<nlohmann::json> value(const std::string& key) const override;
    void removeValue(const std::string& key) const override;
    bool synchronize() const override;
};

// The registry's record: lifetime `oneOf`, a new value on every resolution.
Service sharedDefaultsManagerService();

}  // namespace kiv
