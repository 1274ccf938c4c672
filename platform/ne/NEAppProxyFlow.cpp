#include "platform/ne/NEAppProxyFlow.hpp"

namespace platform::ne {

std::string FlowError::localizedDescription() const {
    switch (code) {
        case Code::notConnected:
            return "The flow is not connected";
        case Code::peerReset:
            return "The remote peer reset the flow";
        case Code::hostUnreachable:
            return "The remote host is unreachable";
        case Code::invalidArgument:
            return "An invalid argument was passed to a flow method";
        case Code::aborted:
            return "The flow was aborted";
        case Code::refused:
            return "The flow was refused";
        case Code::timedOut:
            return "The flow timed out";
        case Code::internal:
            return "An internal error occurred on the flow";
        case Code::datagramTooLarge:
            return "The datagram is too large";
        case Code::readAlreadyPending:
            return "A read is already pending on the flow";
    }
    return "Unknown flow error";
}

}  // namespace platform::ne
