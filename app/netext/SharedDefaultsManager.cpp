#include "app/netext/SharedDefaultsManager.hpp"

#include "app/Logger/StandardOutput.hpp"
#include "model/JSONCoder.hpp"
#include "platform/NoDestructor.hpp"

namespace kiv {

platform::UserDefaultsPtr SharedDefaultsManager::suite() {
    static platform::NoDestructor<platform::UserDefaultsPtr> domain(
        platform::UserDefaults::suite(kSuiteName));
    return *domain;
}

void SharedDefaultsManager::save(const model::DeviceConfiguration& deviceConfig) const {
    auto encoded = model::JSONEncoder{}.encode(deviceConfig);
    if (!encoded) {
        printLine("Unable to Encode device config (" + encoded.error().description() + ")");
        return;
    }
    auto domain = suite();
    if (!domain) return;
    domain->setString(kNetworkExtensionKey, *encoded);
}

std::optional<model::DeviceConfiguration> SharedDefaultsManager::stored() {
    auto domain = suite();
    if (!domain) return std::nullopt;
    const auto text = domain->stringForKey(kNetworkExtensionKey);
    if (!text) return std::nullopt;
    auto decoded = model::JSONDecoder{}.decode<model::DeviceConfiguration>(*text);
    if (!decoded) return std::nullopt;
    return std::move(*decoded);
}

void SharedDefaultsManager::setValue(const nlohmann::json& value, const std::string& key) const {
    if (auto domain = suite()) domain->setObject(key, value);
}

std::optional<nlohmann::json> SharedDefaultsManager::value(const std::string& key) const {
    auto domain = suite();
    return domain ? domain->objectForKey(key) : std::nullopt;
}

void SharedDefaultsManager::removeValue(const std::string& key) const {
    if (auto domain = suite()) domain->removeObject(key);
}

bool SharedDefaultsManager::synchronize() const {
    auto domain = suite();
    return domain && domain->synchronize();
}

Service sharedDefaultsManagerService() {
    return Service::make<SharedDefaultsManager>(Service::LifeCycle::global,
                                                [] { return SharedDefaultsManager{}; });
}

}  // namespace kiv
