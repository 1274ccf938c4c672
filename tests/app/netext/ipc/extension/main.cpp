// ipc_test_extension: starts the extension's listener (main bundle from $KIV_MAIN_BUNDLE),
// prints "ready", then per input line:
//   stop <n>   proxyStopped(n); prints "sent" or "not sent"
//   config     prints the UDDID of the last configuration received, or "none"
// and exits at end of input.
#include <iostream>
#include <string>

#include "app/netext/ipc/IPCConnection.hpp"

int main() {
    auto ipc = kiv::IPCConnection::shared();
    ipc->startListener();
    const std::string error = ipc->listener() ? ipc->listener()->lastError() : "no listener";
    std::cout << (error.empty() ? "ready" : "failed " + error) << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.rfind("stop ", 0) == 0) {
            std::cout << (ipc->proxyStopped(std::stoll(line.substr(5))) ? "sent" : "not sent") << std::endl;
        } else if (line == "config") {
            const auto config = ipc->networkConfig();
            std::cout << (config ? config->UDDID : "none") << std::endl;
        }
    }
    if (auto listener = ipc->listener()) listener->invalidate();
    return 0;
}
