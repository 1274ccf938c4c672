// The Linux HTTP client: libcurl's multi interface driven by one worker thread per
// client. Requests are handed to the worker through a locked list and a wake-up of
// its poll; the worker owns every easy handle from then on.
#include <curl/curl.h>

#include <list>
#include <mutex>
#include <thread>

#include "platform/http/HTTPClient.hpp"

namespace platform {
namespace {

struct CurlEasyDelete {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct CurlSlistDelete {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

// One request from send() to its completion. The easy handle points back at it
// (CURLOPT_PRIVATE and the callbacks' user data), so it never moves.
struct Transfer {
    HTTPRequest request;
    DispatchQueuePtr queue;
    HTTPClient::Completion completion;
    std::unique_ptr<CURL, CurlEasyDelete> easy;
    std::unique_ptr<curl_slist, CurlSlistDelete> headerList;
    HTTPResponse response;
    bool tooLarge = false;
    char errorBuffer[CURL_ERROR_SIZE] = {};
};

size_t onBody(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const size_t bytes = size * count;
    if (transfer->response.body.size() + bytes > transfer->request.maxResponseBytes) {
        transfer->tooLarge = true;
        return 0;  // makes libcurl end the transfer with a write error
    }
    transfer->response.body.append(data, bytes);
    return bytes;
}

std::string trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(first, last - first + 1));
}

size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const std::string_view line(data, size * count);
    if (line.starts_with("HTTP/")) {
        transfer->response.headers.clear();  // a new (final or interim) response begins
    } else if (const auto colon = line.find(':'); colon != std::string_view::npos) {
        transfer->response.headers.emplace_back(trimmed(line.substr(0, colon)),
                                                trimmed(line.substr(colon + 1)));
    }
    return size * count;
}

bool headerIsSafe(const std::pair<std::string, std::string>& header) {
    const auto& [name, value] = header;
    if (name.empty() || name.find_first_of(":\r\n", 0) != std::string::npos) return false;
    if (name.find('\0') != std::string::npos || value.find('\0') != std::string::npos) return false;
    return value.find_first_of("\r\n") == std::string::npos;
}

HTTPErrorCode classify(CURLcode code) {
    switch (code) {
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_URL_MALFORMAT:
            return HTTPErrorCode::invalidRequest;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_CONNECT:
            return HTTPErrorCode::cannotConnect;
        case CURLE_OPERATION_TIMEDOUT:
            return HTTPErrorCode::timedOut;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
            return HTTPErrorCode::tlsFailure;
        default:
            return HTTPErrorCode::transportFailure;
    }
}

void ensureCurlInitialized() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

class CurlHTTPClient final : public HTTPClient {
public:
    explicit CurlHTTPClient(HTTPClientOptions options) : options_(std::move(options)) {
        ensureCurlInitialized();
        multi_ = curl_multi_init();
        if (multi_ != nullptr) worker_ = std::thread([this] { run(); });
    }

    ~CurlHTTPClient() override {
        {
            std::lock_guard lock(inbox_.mutex);
            inbox_.stopping = true;
        }
        if (multi_ != nullptr) {
            curl_multi_wakeup(multi_);
            worker_.join();
            // What is still in flight is cancelled without a completion.
            for (auto& transfer : active_) curl_multi_remove_handle(multi_, transfer->easy.get());
            active_.clear();
            curl_multi_cleanup(multi_);
        }
    }

    void send(HTTPRequest request, DispatchQueuePtr queue, Completion completion) override {
        auto transfer = std::make_unique<Transfer>();
        transfer->request = std::move(request);
        transfer->queue = std::move(queue);
        transfer->completion = std::move(completion);
        if (auto error = configure(*transfer)) {
            deliver(*transfer, HTTPResult{std::nullopt, std::move(error)});
            return;
        }
        {
            std::lock_guard lock(inbox_.mutex);
            inbox_.pending.push_back(std::move(transfer));
        }
        curl_multi_wakeup(multi_);
    }

private:
    std::optional<HTTPError> configure(Transfer& transfer) const {
        const HTTPRequest& request = transfer.request;
        if (multi_ == nullptr) return HTTPError{HTTPErrorCode::transportFailure, "libcurl is not available"};
        if (request.timeout.count() <= 0) {
            return HTTPError{HTTPErrorCode::invalidRequest, "timeout must be positive"};
        }
        if (request.maxRedirects < 0)
            return HTTPError{HTTPErrorCode::invalidRequest, "negative redirect limit"};
        for (const auto& header : request.headers) {
            if (!headerIsSafe(header)) {
                return HTTPError{HTTPErrorCode::invalidRequest,
                                 "header name or value not allowed: " + header.first};
            }
        }
        transfer.easy.reset(curl_easy_init());
        CURL* easy = transfer.easy.get();
        if (easy == nullptr) return HTTPError{HTTPErrorCode::transportFailure, "curl_easy_init failed"};

        curl_slist* list = nullptr;
        auto append = [&list](const std::string& line) {
            if (curl_slist* grown = curl_slist_append(list, line.c_str())) list = grown;
        };
        for (const auto& [name, value] : request.headers) {
            std::string line = name;
            line += value.empty() ? ";" : ": ";  // "Name;" sends an empty value
            line += value;
            append(line);
        }
        append("Expect:");  // no 100-continue round trip for large bodies
        transfer.headerList.reset(list);

        curl_easy_setopt(easy, CURLOPT_PRIVATE, &transfer);
        curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, request.maxRedirects > 0 ? 1L : 0L);
        curl_easy_setopt(easy, CURLOPT_MAXREDIRS, request.maxRedirects);
        curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        if (!request.verifyPeer) {
            curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 0L);
            curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 0L);
        }
        curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeout.count()));
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, list);
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer.errorBuffer);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, onBody);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, onHeader);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer);
        const std::string& caFile = request.caFile.empty() ? options_.caFile : request.caFile;
        if (!caFile.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, caFile.c_str());
        if (request.method == HTTPRequest::Method::post) {
            curl_easy_setopt(easy, CURLOPT_POST, 1L);
            curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
            curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body.data());
        } else {
            curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        }
        return std::nullopt;
    }

    static void deliver(Transfer& transfer, HTTPResult result) {
        transfer.queue->async([completion = std::move(transfer.completion),
                               result = std::move(result)]() mutable { completion(std::move(result)); });
    }

    static HTTPResult resultOf(Transfer& transfer, CURLcode code) {
        if (code == CURLE_OK) {
            long status = 0;
            curl_easy_getinfo(transfer.easy.get(), CURLINFO_RESPONSE_CODE, &status);
            if (status <= 0)
                return {std::nullopt, HTTPError{HTTPErrorCode::transportFailure, "no HTTP response"}};
            transfer.response.status = status;
            return {std::move(transfer.response), std::nullopt};
        }
        if (transfer.tooLarge) {
            return {std::nullopt,
                    HTTPError{HTTPErrorCode::responseTooLarge,
                              "response body larger than " +
                                  std::to_string(transfer.request.maxResponseBytes) + " bytes"}};
        }
        std::string message =
            transfer.errorBuffer[0] != '\0' ? transfer.errorBuffer : curl_easy_strerror(code);
        return {std::nullopt, HTTPError{classify(code), std::move(message)}};
    }

    void run() {
        for (;;) {
            std::list<std::unique_ptr<Transfer>> arrived;
            {
                std::lock_guard lock(inbox_.mutex);
                if (inbox_.stopping) {
                    // Accepted but never started: dropped like the ones in flight.
                    inbox_.pending.clear();
                    return;
                }
                arrived.swap(inbox_.pending);
            }
            for (auto& transfer : arrived) {
                if (const CURLMcode added = curl_multi_add_handle(multi_, transfer->easy.get());
                    added != CURLM_OK) {
                    deliver(*transfer, {std::nullopt, HTTPError{HTTPErrorCode::transportFailure,
                                                                curl_multi_strerror(added)}});
                    continue;
                }
                active_.push_back(std::move(transfer));
            }
            int running = 0;
            curl_multi_perform(multi_, &running);
            int queued = 0;
            while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
                if (message->msg == CURLMSG_DONE) finish(message->easy_handle, message->data.result);
            }
            curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
        }
    }

    void finish(CURL* easy, CURLcode code) {
        char* pointer = nullptr;
        curl_easy_getinfo(easy, CURLINFO_PRIVATE, &pointer);
        const auto* found = reinterpret_cast<const Transfer*>(pointer);
        curl_multi_remove_handle(multi_, easy);
        for (auto it = active_.begin(); it != active_.end(); ++it) {
            if (it->get() == found) {
                deliver(**it, resultOf(**it, code));
                active_.erase(it);
                return;
            }
        }
    }

    const HTTPClientOptions options_;
    CURLM* multi_ = nullptr;

    // Requests handed over by send() and not yet taken by the worker.
    struct Inbox {
        std::mutex mutex;
        std::list<std::unique_ptr<Transfer>> pending;
        bool stopping = false;
    } inbox_;

    // Worker thread only.
    std::list<std::unique_ptr<Transfer>> active_;
    std::thread worker_;
};

}  // namespace

HTTPClientPtr makeHTTPClient(HTTPClientOptions options) {
    return std::make_shared<CurlHTTPClient>(std::move(options));
}

}  // namespace platform
