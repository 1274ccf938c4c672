#pragma once
// The installer's parameters: the KEY=value argument parser, the check of the required values and
// the saving of the given ones, and the installer step (registration and configuration fetch).
//
// In this build the installer step has no device server to talk to: run() completes at once. The
// URL and e-mail checks are the plain forms of `CommmonValidator` until it is built.
//
// Threads: validateAndSave on the main thread (start-up); run() from any thread, its completion on
// "InstallerHelper.queue".
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/Logger/KIVLogger.hpp"
#include "app/core/Injected.hpp"
#include "app/core/Service.hpp"
#include "app/core/Settings.hpp"
#include "app/core/XNCServerInfoSection.hpp"
#include "platform/Dispatch.hpp"

namespace kiv {

struct InstallerArguments {
    // Every argument of exactly one "=" whose key is one of the settings keys; a later one wins.
    static std::map<XNCServerInfoSection, std::string> parse(const std::vector<std::string>& arguments);
};

class InstallerHelper : public std::enable_shared_from_this<InstallerHelper> {
public:
    InstallerHelper();

    // Checks the parsed arguments of saveInstallerDict and stores them in the settings. False when
    // a required value is missing or invalid (logged).
    bool validateAndSave();
    // The installer step; `completion` runs on the helper's queue when it is done.
    void run(bool force, std::function<void()> completion);

    std::map<XNCServerInfoSection, std::string> saveInstallerDict;
    std::size_t numberOfArguments = 0;

private:
    Injected<Settings> _settings;
    Injected<KIVLogger> _logger;
    platform::DispatchQueuePtr concurrentQueue;
};

Service installerHelperService();

}  // namespace kiv
