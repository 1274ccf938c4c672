#pragma once
// The file side of a normal start: takes the installer's files from the user's Caches folder (its
// parameter file into the settings, its config.json into the application folder), then watches
// the stored configuration files through the DirectoryObserver it owns.
//
// Created with ApplicationStartHelper, before any service may be resolved (its fields resolve on
// first use), and kept for the life of the process, which keeps the watches.
//
// Threads: main thread, during start-up, in this order: pickUpInstallerConfiguration(),
// watchApplicationFiles(), watchRootFiles().
#include <memory>
#include <optional>
#include <string>

#include "app/Logger/KIVLogger.hpp"
#include "app/core/ConfigFileWriter.hpp"
#include "app/core/Injected.hpp"
#include "app/core/Settings.hpp"
#include "app/shell/DirectoryObserver.hpp"

namespace kiv {

class FileSetup {
public:
    // The registry's services and a new DirectoryObserver.
    FileSetup();
    FileSetup(Injected<KIVLogger> logger, Injected<ConfigFileWriter> configWriter,
              Injected<Settings> settings, std::shared_ptr<DirectoryObserver> directoryObserver);

    // False only when the installer's config.json was found but could not be saved.
    bool pickUpInstallerConfiguration();
    // The installer's config.json (Caches folder); nothing when it cannot be read.
    std::optional<std::string> readInstallerConfigFile();
    bool appConfigFileExists();
    // "RPC_URL" is set and makes a server URL.
    bool hasServerURL(Settings& settings);
    // config.json, then device.json of the application folder.
    void watchApplicationFiles();
    // Root's config.json, then device.json; not watched (silently) when they cannot be opened.
    void watchRootFiles();

    const std::shared_ptr<DirectoryObserver>& directoryObserver() const { return directoryObserver_; }

private:
    Injected<KIVLogger> _logger;
    Injected<ConfigFileWriter> _configWriter;
    Injected<Settings> _settings;
    std::shared_ptr<DirectoryObserver> directoryObserver_;
};

}  // namespace kiv
