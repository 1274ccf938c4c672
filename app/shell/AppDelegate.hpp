#pragma once
// The application delegate: the two start-up roads and the quit sequence.
//
// Command-line road (the environment holds SUDO_COMMAND or PWD: an installer ran us with KEY=value
// arguments): clear the settings but the install key, check and save the arguments, download the
// certificate when asked, handle STOP and RESET, then run the installer step once and quit.
// Normal road: pick up the installer's files, watch the stored files, activate the extension,
// register the defaults and start the change observer.
//
// Quit: a command-line run terminates at once. A normal run marks "uninstalling" and cancels its
// event subscriptions; a user quit then removes the DNS-proxy configuration and deactivates the
// extension, and terminates only when the deactivation completes; a system quit (logout, restart,
// shutdown) leaves both in place and terminates at once.
//
// Threads: every callback on the main thread; completions reach the application from any queue.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/Logger/KIVLogger.hpp"
#include "app/core/Injected.hpp"
#include "app/core/Settings.hpp"
#include "app/shell/ApplicationStartHelper.hpp"
#include "platform/Application.hpp"
#include "platform/Dispatch.hpp"
#include "platform/UserDefaults.hpp"
#include "platform/http/URL.hpp"

namespace kiv {

inline constexpr const char* kUninstallingKey = "uninstalling";
inline constexpr const char* kApplicationBundleIdentifier = "com.kiv.veltrix";

struct UserDefaultsHelper {
    platform::UserDefaultsPtr userDefaults;
};

class AppDelegate final : public platform::ApplicationDelegate,
                          public std::enable_shared_from_this<AppDelegate> {
public:
    // `arguments`: the process's whole argument list, program path first.
    AppDelegate(platform::Application& application, std::vector<std::string> arguments);

    void applicationDidFinishLaunching() override;
    platform::TerminateReply applicationShouldTerminate() override;
    void applicationWillTerminate() override;

    void startApplication();
    // Removes the DNS-proxy configuration, then terminates. Returns at once.
    void endExtensionAndQuit();

    // The certificate's address for an RPC_URL: an https scheme made http, "ssl/ca.der" appended to
    // the path, the port removed, the rest kept; nothing when the text is no URL.
    static std::optional<platform::URL> certificateURL(const std::string& rpcURL);
    // True for a quit event whose reason is a logout, restart or shutdown.
    bool isSystemQuit();

private:
    void runCommandLineRoad();
    void runNormalRoad();
    void removeSettingsExceptInstallKey();
    void applyInstallerArguments();
    void downloadCertIfNeeded();
    bool stopProxyIfNeeded();
    bool resetExtensionIfNeeded();
    void runInstallerStep(bool quitWhenDone);
    void installerStepFinished(bool quitWhenDone);
    void quitNow();
    void deactivationFinished(const std::optional<std::string>& error);
    void terminateOtherInstances();
    void finishTermination();
    bool shouldInstallExtension() const;
    void registerDefaultSettings();
    platform::TerminateReply prepareForTermination();

    platform::Application& application_;
    std::vector<std::string> arguments_;

    ApplicationStartHelper appHelper;
    Injected<KIVLogger> _logger;
    Injected<Settings> _settings;
    UserDefaultsHelper userDefaultsHelper;
    platform::DispatchQueuePtr concurrentQueue;
};

}  // namespace kiv
