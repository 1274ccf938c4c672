#pragma once
// Start-up's wiring: the registrations of the application's services and the collaborators that
// exist before them (the installer file pickup, a network-path monitor of its own) or beside them
// (the sleep and wake monitor). Created with the application delegate, before any service may be
// resolved.
//
// The path monitor starts with the helper, so a start publishes `connected` as soon as launching
// has finished (the application hands its members' posts on only after launching), instead of
// when the registry's NetworkCheck is first used. Both publish every path change.
//
// Threads: main thread.
#include <memory>
#include <optional>

#include "app/Logger/KIVLogger.hpp"
#include "app/core/Injected.hpp"
#include "app/core/Settings.hpp"
#include "app/netext/NetworkCheck.hpp"
#include "app/server/InstallerHelper.hpp"
#include "app/shell/ChangeObserver.hpp"
#include "app/shell/FileSetup.hpp"
#include "app/shell/SleepWakeMonitor.hpp"

namespace kiv {

struct DepenencyInjection {
    std::shared_ptr<InstallerHelper> installerHelper;
};

class ApplicationStartHelper {
public:
    // Starts the helper's own path monitor.
    ApplicationStartHelper();
    // With a path monitor of the caller's (tests).
    explicit ApplicationStartHelper(std::unique_ptr<NetworkCheck> check);

    // Builds a new registry of the application's services and makes it the root, replacing any
    // earlier one, and starts watching sleep and wake. No service is made here.
    void registerServices();

    Injected<ChangeObserver> _changeObserver;
    Injected<KIVLogger> _logger;
    Injected<Settings> _settings;
    Injected<InstallerHelper> _installerHelper;
    FileSetup fileSetup;
    // For the life of the process; independent of the registry's NetworkCheck.
    std::unique_ptr<NetworkCheck> networkCheck;
    std::optional<DepenencyInjection> dependency;
    std::unique_ptr<SleepWakeMonitor> sleepWakeMonitor;  // for the life of the process
};

}  // namespace kiv
