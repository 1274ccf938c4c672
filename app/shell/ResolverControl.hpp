#pragma once
// Holders of a local resolver that the application could drive through its control program and
// configuration file. They are registry services, but nothing reads them while the application
// runs, so none is built in practice.
//
// Plain values; threads: any (the helper-tool client is shared between copies and is itself safe
// from any thread).
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/Logger/KIVLogger.hpp"
#include "app/core/Injected.hpp"
#include "app/core/Service.hpp"
#include "app/shell/KIVHelperProxy.hpp"
#include "model/DeviceConfiguration.hpp"

namespace kiv {

struct UnboundControl {
    std::string unboundPath;
    std::string unboundConfigPath;
};

struct UnboundUtils {
    Injected<KIVLogger> _logger;
};

struct UnboundControlManager {
    static constexpr const char* kUnboundPath =
        "/Applications/BrannockCloud.app/Contents/MacOS/unbound-control";
    static constexpr const char* kUnboundConfigPath =
        "/Applications/BrannockCloud.app/Contents/Resources/unbound.conf";

    using ProxyFactory = std::function<std::shared_ptr<KIVHelperProxy>()>;

    // A new helper-tool client (which makes the authorization and registers the helper's rights).
    UnboundControlManager();
    // The client from `makeProxy`, called once.
    explicit UnboundControlManager(const ProxyFactory& makeProxy);

    Injected<KIVLogger> _logger;
    std::shared_ptr<KIVHelperProxy> kivhelperProxy;
    UnboundControl unbound{kUnboundPath, kUnboundConfigPath};
    Injected<UnboundUtils> _unboundUtils;
    std::optional<model::DeviceConfiguration> config;
};

// The registry's records: `global`; the manager with its default members, the utilities with a
// fresh injected logger.
Service unboundControlManagerService();
Service unboundUtilsService();

}  // namespace kiv
