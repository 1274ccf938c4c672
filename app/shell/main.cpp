// brannockcloud: the managing application. Started by the installer with KEY=value arguments (the
// command-line road), or by the user's session without PWD in its environment (the normal road):
//   systemctl --user start brannockcloud     or     env -u PWD -u SUDO_COMMAND brannockcloud
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/Logger/LogFacility.hpp"
#include "app/core/Settings.hpp"
#include "app/shell/AppDelegate.hpp"
#include "platform/Application.hpp"
#include "platform/Dispatch.hpp"
#include "platform/SignalSource.hpp"

int main(int argc, char** argv) {
    // A quit must work even when whoever started us ignored these signals (a background job of a
    // script does): an ignored signal is dropped, blocked or not. Then blocked before any thread
    // starts, so that every thread inherits the mask and they reach only the application's run loop.
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    platform::blockSignals({SIGINT, SIGTERM});
    // Lines reach an installer or a journal as they are printed.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    kiv::installSettingsLogDebugStore();
    std::vector<std::string> arguments(argv, argv + argc);
    platform::Application& application = platform::Application::shared();
    auto delegate = std::make_shared<kiv::AppDelegate>(application, std::move(arguments));
    application.setDelegate(delegate);
    const int status = application.run();
    // Log lines still queued are written before the process ends. The process then ends without
    // running static destructors: worker threads may still be finishing completions that use them.
    while (platform::runMainLoopOnce(std::chrono::milliseconds(0))) {
    }
    kiv::LogFacility::waitForPendingLines();
    std::fflush(nullptr);
    ::_exit(status);
}
