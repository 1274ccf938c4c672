#pragma once
// Start-up's wiring: the registrations of the application's services and the collaborators that
// exist before them (the installer file pickup). Created with the application delegate, before
// any service may be resolved.
//
// Threads: main thread.
#include <optional>

#include "app/Logger/KIVLogger.hpp"
#include "app/core/Injected.hpp"
#include "app/core/Settings.hpp"
#include "app/server/InstallerHelper.hpp"
#include "app/shell/FileSetup.hpp"
#include "app/shell/PendingServices.hpp"

namespace kiv {

struct DepenencyInjection {
    std::shared_ptr<InstallerHelper> installerHelper;
};

class ApplicationStartHelper {
public:
    // Builds a new registry of the application's services and makes it the root, replacing any
    // earlier one. No service is made here.
    void registerServices();

    Injected<ChangeObserver> _changeObserver;
    Injected<KIVLogger> _logger;
    Injected<Settings> _settings;
    Injected<InstallerHelper> _installerHelper;
    FileSetup fileSetup;
    std::optional<DepenencyInjection> dependency;
};

}  // namespace kiv
