#pragma once
// A small asynchronous HTTP(S) client (the URL-session stand-in): one request in, one
// completion out, delivered on the dispatch queue the caller names.
//
// Threads: send() may be called from any thread, also from a completion. Every
// request that send() accepts gets exactly one completion, always asynchronously on
// the given queue, unless the client is destroyed first: destroying the client
// cancels the requests still in flight, and their completions never run (those
// already handed to their queue still do). Redirects are followed only when the request
// asks for it, and only to http and https.
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Dispatch.hpp"

namespace platform {

using HTTPHeaders = std::vector<std::pair<std::string, std::string>>;

struct HTTPRequest {
    enum class Method { get, post };

    Method method = Method::get;
    std::string url;  // http:// or https:// only
    HTTPHeaders headers;
    std::string body;  // sent with post
    // Limit on the whole exchange, from connecting to the last byte of the answer.
    std::chrono::milliseconds timeout{std::chrono::seconds(60)};
    // PEM file of the certificates to trust for https; empty: the client's default
    // (HTTPClientOptions::caFile, else the system's store).
    std::string caFile;
    // A longer answer body fails the request with responseTooLarge.
    std::size_t maxResponseBytes = 16 * 1024 * 1024;
    // False turns off checking the server's certificate and host name (an installer's
    // explicit choice for a server with a self-made certificate).
    bool verifyPeer = true;
    // Up to this many redirects are followed, to http and https URLs only; 0 follows none
    // and hands the redirect answer back.
    long maxRedirects = 0;
};

struct HTTPResponse {
    long status = 0;
    HTTPHeaders headers;  // of the final response, in arrival order, names as sent
    std::string body;
};

enum class HTTPErrorCode {
    invalidRequest,    // bad URL, scheme other than http/https, timeout not positive
    cannotConnect,     // name not resolved, connection refused or unreachable
    timedOut,          // the timeout passed
    tlsFailure,        // handshake failed or the certificate is not trusted
    responseTooLarge,  // the body passed maxResponseBytes
    transportFailure,  // anything else between the two ends (reset, bad HTTP, ...)
};

struct HTTPError {
    HTTPErrorCode code;
    std::string message;  // human-readable detail
};

// Exactly one of the two is set: `response` when an HTTP answer arrived, whatever
// its status; `error` when none did.
struct HTTPResult {
    std::optional<HTTPResponse> response;
    std::optional<HTTPError> error;
};

const char* toString(HTTPErrorCode code);

class HTTPClient {
public:
    using Completion = std::function<void(HTTPResult)>;
    virtual ~HTTPClient() = default;
    // Starts `request`; `completion` runs on `queue`, which must not be null (see the
    // contract above).
    virtual void send(HTTPRequest request, DispatchQueuePtr queue, Completion completion) = 0;
};

using HTTPClientPtr = std::shared_ptr<HTTPClient>;

struct HTTPClientOptions {
    // PEM file trusted for https requests that name no caFile of their own.
    std::string caFile;
};

// The real client, on libcurl, with one worker thread of its own.
HTTPClientPtr makeHTTPClient(HTTPClientOptions options = {});

}  // namespace platform
