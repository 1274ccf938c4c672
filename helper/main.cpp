// kivhelper: the privileged helper service. Started on demand by the service manager, which
// hands over the listening socket (socket activation), or by hand, when it serves the socket
// of its service name itself. Runs until SIGTERM or SIGINT.
#include <signal.h>
#include <systemd/sd-daemon.h>

#include <cstdio>
#include <optional>

#include "helper/DNSSettingsModifier.hpp"
#include "helper/HelperPaths.hpp"
#include "helper/KIVHelper.hpp"
#include "helper/protocol/KIVHelperProtocol.hpp"
#include "platform/Dispatch.hpp"
#include "platform/SignalSource.hpp"
#include "platform/http/HTTPClient.hpp"

int main() {
    platform::blockSignals({SIGTERM, SIGINT, SIGHUP});
    ::signal(SIGPIPE, SIG_IGN);
    const helper::HelperPaths paths = helper::HelperPaths::fromEnvironment();
    auto service = helper::KIVHelper::make(paths, platform::makeHTTPClient());

    helper::DNSModifierEnvironment dns;
    dns.root = paths.root;
    dns.busAddress = paths.resolveBusAddress;
    dns.log = [service](const std::string& line) { service->log().log(line); };
    helper::DNSModifyHelper::setEnvironment(std::move(dns));

    std::optional<int> activated;
    const int handed = sd_listen_fds(1);
    if (handed > 1) {
        std::fprintf(stderr, "kivhelper: expected one socket from the service manager, got %d\n", handed);
        return 1;
    }
    if (handed == 1) activated = SD_LISTEN_FDS_START;
    if (!service->run(activated)) {
        std::fprintf(stderr, "kivhelper: %s\n", service->lastError().c_str());
        return 1;
    }
    std::printf("kivhelper: serving %s\n", helper::kHelperServiceName);
    std::fflush(stdout);

    platform::SignalSource stopSignals({SIGTERM, SIGINT, SIGHUP}, platform::mainQueue(),
                                       [service](const platform::SignalInfo&) {
                                           service->stop();
                                           platform::stopMainLoop();
                                       });
    platform::runMainLoop();
    return 0;
}
