#include "platform/http/HTTPClient.hpp"

namespace platform {

const char* toString(HTTPErrorCode code) {
    switch (code) {
        case HTTPErrorCode::invalidRequest:
            return "invalid request";
        case HTTPErrorCode::cannotConnect:
            return "cannot connect";
        case HTTPErrorCode::timedOut:
            return "timed out";
        case HTTPErrorCode::tlsFailure:
            return "TLS failure";
        case HTTPErrorCode::responseTooLarge:
            return "response too large";
        case HTTPErrorCode::transportFailure:
            return "transport failure";
    }
    return "unknown";
}

}  // namespace platform
