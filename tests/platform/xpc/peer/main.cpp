// xpc_test_peer serve <service>       listens; prints "ready" once it does; exits at end of input
// xpc_test_peer call <service> <text>  prints the echoed text, or "error <code>"
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

#include "platform/Dispatch.hpp"
#include "platform/xpc/TestService.hpp"
#include "platform/xpc/XPCListener.hpp"

namespace {

class Accepting final : public platform::XPCListenerDelegate {
public:
    bool shouldAcceptNewConnection(platform::XPCListener&,
                                   const std::shared_ptr<platform::XPCConnection>& connection) override {
        auto service = std::make_shared<xpctest::TestService>();
        service->connection = connection;
        connection->setExportedInterface(xpctest::testInterface());
        connection->setExportedObject(service);
        connection->resume();
        return true;
    }
};

int serve(const std::string& service) {
    auto delegate = std::make_shared<Accepting>();
    auto listener = platform::XPCListener::makeWithMachServiceName(service);
    listener->setDelegate(delegate);
    if (!listener->resume()) {
        std::cout << "failed " << listener->lastError() << std::endl;
        return 1;
    }
    std::cout << "ready" << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    listener->invalidate();
    return 0;
}

int call(const std::string& service, const std::string& text) {
    auto connection = platform::XPCConnection::makeWithMachServiceName(service);
    connection->setRemoteObjectInterface(xpctest::testInterface());
    connection->resume();
    platform::Semaphore done;
    std::string answer;
    auto proxy = connection->remoteObjectProxyWithErrorHandler([&](const platform::ErrorObject& e) {
        answer = "error " + std::to_string(e.code);
        done.signal();
    });
    proxy.send("echoText:withReply:", {text}, [&](platform::XPCArguments reply) {
        answer = *reply[0].text();
        done.signal();
    });
    if (!done.waitFor(std::chrono::seconds(10))) answer = "timeout";
    connection->invalidate();
    std::cout << answer << std::endl;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "serve" && argc == 3) return serve(argv[2]);
    if (mode == "call" && argc == 4) return call(argv[2], argv[3]);
    std::cerr << "usage: xpc_test_peer serve <service> | call <service> <text>\n";
    return 2;
}
