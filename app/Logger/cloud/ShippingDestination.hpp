#pragma once
// A log destination that ships entries to a remote logging service in encrypted
// batches. Each accepted call is appended as one JSON line to the entries file and
// earns "sending points" by its level; at the threshold the entries file becomes the
// sending file, whose entries go out, wrapped with a device record and encrypted
// (AES-256-CBC, AESTextCipher), in one HTTPS POST. Status 200 deletes the sending
// file; any failure keeps it for the next try. A small analytics file keeps an
// installation id and start counters.
//
// Ownership: made by make() and held by shared_ptr (the facade holds attached
// destinations so); an upload in flight when the destination goes is dropped.
// Threads: send(), sendNow() and the upload's completion run on `queue`; the owner
// sets the public fields before attaching, or later only from work on `queue`.
// Files are replaced atomically (mkstemp + rename) and never followed through links.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/Logger/BaseDestination.hpp"
#include "platform/http/HTTPClient.hpp"

namespace kiv {

// What the destination takes from its surroundings; tests pin all of it.
struct ShippingEnvironment {
    DestinationEnvironment destination;  // clock for timestamps
    platform::HTTPClientPtr httpClient;  // null: a client of its own
    // The folder whose subfolder (named after the executable) holds the files;
    // absent: the user's Application Support folder.
    std::optional<std::filesystem::path> applicationSupportFolder;
    // The application's version texts (CFBundleShortVersionString, CFBundleVersion);
    // absent: read from the main bundle when the destination is made, where a key
    // that is missing or not text gives empty text.
    std::optional<std::string> appVersion;
    std::optional<std::string> appBuild;
};

class ShippingDestination : public BaseDestination, public std::enable_shared_from_this<ShippingDestination> {
    struct Passkey {};

public:
    struct SendingPoints {
        std::int64_t verbose = 0;
        std::int64_t debug = 1;
        std::int64_t info = 5;
        std::int64_t warning = 8;
        std::int64_t error = 10;
        std::int64_t threshold = 10;
    };
    using Entry = nlohmann::json;
    using UploadCompletion = std::function<void(bool ok, int status)>;

    static constexpr std::int64_t minAllowedThreshold = 1;
    static constexpr std::int64_t maxAllowedThreshold = 1000;

    // An absent server URL disables uploads. The three files lie in the base folder;
    // the analytics record is updated (one more start) and saved here.
    static std::shared_ptr<ShippingDestination> make(std::string appID, std::string appSecret,
                                                     std::string encryptionKey,
                                                     std::optional<std::string> serverURL,
                                                     const std::string& entriesFileName,
                                                     const std::string& sendingFileName,
                                                     const std::string& analyticsFileName,
                                                     ShippingEnvironment environment = {});
    ShippingDestination(Passkey, std::string appID, std::string appSecret, std::string encryptionKey,
                        std::optional<std::string> serverURL, const std::string& entriesFileName,
                        const std::string& sendingFileName, const std::string& analyticsFileName,
                        ShippingEnvironment environment);

    std::string appID;
    std::string appSecret;
    std::string encryptionKey;  // 32 UTF-8 bytes, else nothing is ever uploaded
    std::string analyticsUserName;
    SendingPoints sendingPoints;
    bool showNSLog = false;  // diagnostics ("ShippingDestination: ...") to the system log
    std::optional<std::string> serverURL;
    std::filesystem::path entriesFileURL;
    std::filesystem::path sendingFileURL;
    std::filesystem::path analyticsFileURL;

    // Read on `queue`.
    const std::string& uuid() const { return uuid_; }
    std::int64_t points() const { return points_; }
    bool sendingInProgress() const { return sendingInProgress_; }
    bool initialSending() const { return initialSending_; }

    int defaultHashValue() const override { return 3; }
    // Stores the entry, counts its points and ships when they reach the threshold;
    // returns the stored JSON line.
    std::optional<std::string> send(LogFacilityLevel level, const std::string& message,
                                    const std::string& thread, const std::string& file,
                                    const std::string& function, int line,
                                    const std::optional<LogContext>& context) override;

    // Ships the pending sending file, or turns the entries file into one and ships it.
    void sendNow();
    // POSTs {"payload": encrypted} to serverURL; `completion` runs exactly once, on
    // `queue` (or at once when the request cannot be made).
    void upload(const std::string& encrypted, UploadCompletion completion);

    bool appendLine(const std::string& text, const std::filesystem::path& url, bool overwrite);
    bool moveEntriesToSendingFile();
    // The JSON objects of the file's braced lines, in order; lines that do not parse
    // (nesting deeper than the model's JSON limit included) are skipped and reported.
    // Absent when the file cannot be read.
    std::optional<std::vector<Entry>> entries(const std::filesystem::path& url);
    bool deleteFile(const std::filesystem::path& url);
    std::optional<nlohmann::json> dictionary(const std::filesystem::path& url);
    bool saveDictionary(const nlohmann::json& dictionary, const std::filesystem::path& url);

    nlohmann::json analytics(const std::filesystem::path& url, bool update);
    nlohmann::json deviceDetails() const;
    // The main bundle's short version ("" when it has none) and its build number
    // as a decimal integer (0 when absent or not one), unless the environment pins them.
    std::string appVersion() const;
    std::int64_t appBuild() const;

    void debugLog(std::string_view text) const;

private:
    double now() const;
    std::int64_t pointsFor(LogFacilityLevel level) const;

    ShippingEnvironment environment_;
    platform::HTTPClientPtr httpClient_;
    std::string uuid_;
    std::int64_t points_ = 0;
    bool sendingInProgress_ = false;
    bool initialSending_ = true;
};

using ShippingDestinationPtr = std::shared_ptr<ShippingDestination>;

}  // namespace kiv
