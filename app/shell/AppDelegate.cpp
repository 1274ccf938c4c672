#include "app/shell/AppDelegate.hpp"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>

#include "app/Logger/StandardOutput.hpp"
#include "app/core/Utils.hpp"
#include "app/core/XNCServerInfoSection.hpp"
#include "app/netext/NetworkExtensionManager.hpp"
#include "app/shell/DownloadCertManager.hpp"
#include "app/shell/KIVStatusBarController.hpp"
#include "platform/NoDestructor.hpp"
#include "platform/RunningApplications.hpp"
#include "platform/SystemLog.hpp"

namespace kiv {
namespace {

using K = XNCServerInfoSection;

void print(const std::string& line) { printLine(line); }

bool environmentHas(const char* name) { return std::getenv(name) != nullptr; }

std::optional<std::string> environmentValue(const char* name) {
    const char* value = std::getenv(name);
    if (!value) return std::nullopt;
    return std::string(value);
}

const platform::SystemLog& defaultLog() {
    // Never destroyed: completions on other queues may log while the process ends.
    static platform::NoDestructor<platform::SystemLog> log("com.kiv.veltrix", "AppDelegate");
    return *log;
}

}  // namespace

AppDelegate::AppDelegate(platform::Application& application, std::vector<std::string> arguments)
    : application_(application),
      arguments_(std::move(arguments)),
      userDefaultsHelper{platform::UserDefaults::standard()},
      concurrentQueue(platform::makeConcurrentQueue("AppDelegate.queue")) {}

void AppDelegate::applicationDidFinishLaunching() { startApplication(); }

platform::TerminateReply AppDelegate::applicationShouldTerminate() { return prepareForTermination(); }

void AppDelegate::applicationWillTerminate() { print("applicationWillTerminate"); }

void AppDelegate::startApplication() {
    appHelper.registerServices();
    // The menu's Quit entry ends the extension first, like the installer's failed argument check.
    KIVStatusBarController::setQuitHandler([weak = weak_from_this()] {
        if (const auto self = weak.lock()) self->endExtensionAndQuit();
    });
    if (Utils::isRunFromCommandLine()) {
        runCommandLineRoad();
    } else {
        runNormalRoad();
    }
}

void AppDelegate::runCommandLineRoad() {
    print("wasRunFromCommandLine");
    removeSettingsExceptInstallKey();
    applyInstallerArguments();
    downloadCertIfNeeded();
    const bool stopHandled = stopProxyIfNeeded();
    const bool resetHandled = resetExtensionIfNeeded();
    if (!(stopHandled && resetHandled)) runInstallerStep(true);
}

void AppDelegate::runNormalRoad() {
    print("was not run from the command line");
    if (appHelper.fileSetup.pickUpInstallerConfiguration()) _settings->loadConfigFile();
    appHelper.fileSetup.watchApplicationFiles();
    appHelper.fileSetup.watchRootFiles();
    _settings->set("false", K::showTestMenu);
    if (shouldInstallExtension() && !userDefaultsHelper.userDefaults->boolForKey(kUninstallingKey)) {
        NetworkExtensionManager::shared().activate();
    }
    userDefaultsHelper.userDefaults->removeObject(kUninstallingKey);
    registerDefaultSettings();
    appHelper._changeObserver->start();
}

void AppDelegate::removeSettingsExceptInstallKey() {
    for (K key : allServerInfoSections()) {
        if (key == K::installKey) continue;
        userDefaultsHelper.userDefaults->removeObject(std::string(rawValue(key)));
        userDefaultsHelper.userDefaults->synchronize();
    }
}

void AppDelegate::applyInstallerArguments() {
    if (environmentHas("XCTestConfigurationFilePath")) return;
    InstallerHelper& installer = *appHelper._installerHelper;
    installer.saveInstallerDict = InstallerArguments::parse(arguments_);
    installer.numberOfArguments = installer.saveInstallerDict.size();
    if (installer.validateAndSave()) {
        _settings->writeConfiguration(true, false);
    } else {
        endExtensionAndQuit();
    }
}

std::optional<platform::URL> AppDelegate::certificateURL(const std::string& rpcURL) {
    // Only the scheme changes: a host or path that contains "https" is someone's name.
    constexpr std::string_view kSecure = "https:";
    const bool secure = rpcURL.size() >= kSecure.size() &&
                        std::equal(kSecure.begin(), kSecure.end(), rpcURL.begin(), [](char a, char b) {
                            return a == std::tolower(static_cast<unsigned char>(b));
                        });
    auto url = platform::URL::parse(secure ? "http:" + rpcURL.substr(kSecure.size()) : rpcURL);
    if (!url) return std::nullopt;
    std::string path = url->path();
    if (path.empty() || path.back() != '/') path += '/';
    path += "ssl/ca.der";
    if (auto withoutPort = url->withPathAndNoPort(path)) return withoutPort;
    return url;
}

void AppDelegate::downloadCertIfNeeded() {
    const auto rpcURL = userDefaultsHelper.userDefaults->stringForKey(std::string(rawValue(K::rpcURL)));
    if (!rpcURL) return;
    if (userDefaultsHelper.userDefaults->stringForKey(std::string(rawValue(K::importCert))) != "true") return;
    if (const auto url = certificateURL(*rpcURL)) DownloadCertManager::downloadAndInstallCertFrom(*url);
}

bool AppDelegate::stopProxyIfNeeded() {
    _logger->log("stopProxyIfNeeded", model::LogLevel::production);
    if (userDefaultsHelper.userDefaults->stringForKey(std::string(rawValue(K::stop))) != "TRUE") return false;
    NetworkExtensionManager::shared().stopProxy();
    return true;
}

bool AppDelegate::resetExtensionIfNeeded() {
    _logger->log("resetExtensionIfNeeded", model::LogLevel::production);
    if (userDefaultsHelper.userDefaults->stringForKey(std::string(rawValue(K::reset))) != "true")
        return false;
    std::weak_ptr<AppDelegate> weak = weak_from_this();
    platform::Application* application = &application_;
    NetworkExtensionManager::shared().deactivate(
        [weak, application](const std::optional<std::string>& error) {
            if (auto self = weak.lock()) {
                self->deactivationFinished(error);
            } else {
                application->terminate();
            }
        });
    return true;
}

void AppDelegate::deactivationFinished(const std::optional<std::string>& error) {
    if (!error) {
        terminateOtherInstances();
    } else {
        _logger->log("failed to removed extension", model::LogLevel::production);
    }
    application_.terminate();
}

void AppDelegate::terminateOtherInstances() { (void)platform::terminateOtherInstancesOfThisProgram(); }

void AppDelegate::runInstallerStep(bool quitWhenDone) {
    if (Utils::isRoot()) {
        _settings->writeConfiguration(true, true);
        // The certificate job started by this run installs the certificate only if the run lasts.
        DownloadCertManager::waitForRunningJobs(DownloadCertManager::kJobLimit);
        application_.terminate();
        return;
    }
    auto self = shared_from_this();
    appHelper._installerHelper->run(true, [self, quitWhenDone] {
        platform::mainQueue()->async([self, quitWhenDone] { self->installerStepFinished(quitWhenDone); });
    });
}

void AppDelegate::installerStepFinished(bool quitWhenDone) {
    if (!quitWhenDone) return;
    if (environmentValue("XCODE") == "running") {
        print("Is running in xCode");
        return;
    }
    auto self = shared_from_this();
    platform::mainQueue()->asyncAfter(std::chrono::seconds(3), [self] { self->quitNow(); });
}

void AppDelegate::quitNow() {
    print("quitting");
    application_.terminate();
}

void AppDelegate::endExtensionAndQuit() {
    platform::Application* application = &application_;
    NetworkExtensionManager::shared().removeFromPreferences(
        true, [application](const std::optional<std::string>&) { application->terminate(); });
}

bool AppDelegate::shouldInstallExtension() const { return environmentValue("INSTALLEXTENSION") != "false"; }

void AppDelegate::registerDefaultSettings() {
    userDefaultsHelper.userDefaults->registerDefaults({
        {std::string(rawValue(K::trayType)), "2"},
        {"LogDebug", true},
        {std::string(rawValue(K::showTestMenu)), "true"},
    });
    userDefaultsHelper.userDefaults->synchronize();
}

bool AppDelegate::isSystemQuit() {
    const auto event = application_.currentEvent();
    if (!event) return false;
    if (!event->reason) {
        print("Apple event quit ...");
        return false;
    }
    switch (*event->reason) {
        case platform::fourCharCode("logo"):
        case platform::fourCharCode("rlgo"):
        case platform::fourCharCode("rest"):
        case platform::fourCharCode("rrst"):
        case platform::fourCharCode("shut"):
        case platform::fourCharCode("rsdn"):
            return true;
        case 0:
            print("We don't know");
            return false;
        default:
            print("Apple event quit ...");
            return false;
    }
}

platform::TerminateReply AppDelegate::prepareForTermination() {
    if (Utils::isRunFromCommandLine()) return platform::TerminateReply::terminateNow;
    userDefaultsHelper.userDefaults->setBool(kUninstallingKey, true);
    appHelper._changeObserver->cancelSubscriptions();
    // A logout, restart or shutdown must not wait for us: the proxy configuration and the extension
    // stay for the next session, and the system may go on at once.
    if (isSystemQuit()) return platform::TerminateReply::terminateNow;
    auto& manager = NetworkExtensionManager::shared();
    manager.removeFromPreferences(false, [](const std::optional<std::string>& error) {
        if (error) {
            defaultLog().notice("Error removing preferences " + *error);
        } else {
            defaultLog().notice("Removed extension from preferences");
        }
    });
    auto self = shared_from_this();
    manager.deactivate([self](const std::optional<std::string>&) { self->finishTermination(); });
    return platform::TerminateReply::terminateLater;
}

void AppDelegate::finishTermination() {
    userDefaultsHelper.userDefaults->removeObject(kUninstallingKey);
    application_.replyToApplicationShouldTerminate(true);
}

}  // namespace kiv
