#include "app/Logger/cloud/ShippingDestination.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <limits>

#include "app/Logger/FileDestination.hpp"
#include "app/Logger/StandardOutput.hpp"
#include "app/support/AESTextCipher.hpp"
#include "app/support/AppDirectory.hpp"
#include "model/JSONText.hpp"
#include "platform/Base64.hpp"
#include "platform/Bundle.hpp"
#include "platform/FileDescriptor.hpp"
#include "platform/SystemLog.hpp"
#include "platform/UUID.hpp"

namespace kiv {
namespace {

namespace fs = std::filesystem;

constexpr const char* kJSONFailure = "LogFacility could not create JSON from dict.";

// Writes `bytes` to a fresh temporary file beside `url` and renames it over `url`,
// so that readers see the old file or the new one, never a part.
bool replaceAtomically(const fs::path& url, std::string_view bytes) {
    if (url.filename().empty()) return false;
    std::string pattern = (url.parent_path() / ("." + url.filename().string() + ".XXXXXX")).string();
    platform::FileDescriptor file(::mkostemp(pattern.data(), O_CLOEXEC));
    if (file.get() < 0) return false;
    const bool written = platform::writeAll(file.get(), bytes) && ::fsync(file.get()) == 0;
    if (!file.close() || !written || ::rename(pattern.c_str(), url.c_str()) != 0) {
        ::unlink(pattern.c_str());
        return false;
    }
    return true;
}

// The whole of a regular file; absent when it cannot be opened (links are not
// followed) or read.
std::optional<std::string> readRegularFile(const fs::path& url) {
    platform::FileDescriptor file(::open(url.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (file.get() < 0) return std::nullopt;
    struct stat info {};
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (got == 0) return text;
        text.append(buffer, static_cast<std::size_t>(got));
    }
}

// Compact JSON text; bytes that are not UTF-8 become U+FFFD instead of losing the
// whole entry.
std::optional<std::string> jsonText(const nlohmann::json& value) {
    try {
        return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::string describe(const fs::path& url) { return FileDestination::urlDescription(url); }

std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
    std::int64_t sum;
    if (__builtin_add_overflow(a, b, &sum)) {
        return b > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
    }
    return sum;
}

// "6.1.0-18-amd64" -> "6.1.0"; missing pieces are 0.
std::string operatingSystemVersion() {
    utsname names{};
    if (::uname(&names) != 0) return "0.0.0";
    std::string_view release(names.release);
    long parts[3] = {0, 0, 0};
    for (long& part : parts) {
        const auto [end, error] = std::from_chars(release.data(), release.data() + release.size(), part);
        if (error != std::errc()) break;
        release.remove_prefix(static_cast<std::size_t>(end - release.data()));
        if (release.empty() || release.front() != '.') break;
        release.remove_prefix(1);
    }
    return std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." + std::to_string(parts[2]);
}

// The files are the user's to write, so they are read with the model's bounded parser:
// JSON nested deeper than any entry could be is refused, where the library's own
// parser would accept it and copying or writing it later would exhaust the stack.
nlohmann::json parseBounded(std::string_view text) {
    auto parsed = model::parseJSON(text);
    if (!parsed) return nlohmann::json(nlohmann::json::value_t::discarded);
    return std::move(*parsed);
}

std::optional<std::int64_t> integerOf(const nlohmann::json& value) {
    if (value.is_number_unsigned()) {
        const auto raw = value.get<std::uint64_t>();
        if (raw > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
        return static_cast<std::int64_t>(raw);
    }
    if (value.is_number_integer()) return value.get<std::int64_t>();
    return std::nullopt;
}

}  // namespace

std::shared_ptr<ShippingDestination> ShippingDestination::make(
    std::string appID, std::string appSecret, std::string encryptionKey, std::optional<std::string> serverURL,
    const std::string& entriesFileName, const std::string& sendingFileName,
    const std::string& analyticsFileName, ShippingEnvironment environment) {
    return std::make_shared<ShippingDestination>(
        Passkey{}, std::move(appID), std::move(appSecret), std::move(encryptionKey), std::move(serverURL),
        entriesFileName, sendingFileName, analyticsFileName, std::move(environment));
}

ShippingDestination::ShippingDestination(Passkey, std::string appID, std::string appSecret,
                                         std::string encryptionKey, std::optional<std::string> serverURL,
                                         const std::string& entriesFileName,
                                         const std::string& sendingFileName,
                                         const std::string& analyticsFileName,
                                         ShippingEnvironment environment)
    : BaseDestination(environment.destination),
      appID(std::move(appID)),
      appSecret(std::move(appSecret)),
      encryptionKey(std::move(encryptionKey)),
      serverURL(std::move(serverURL)),
      environment_(std::move(environment)),
      httpClient_(environment_.httpClient ? environment_.httpClient : platform::makeHTTPClient()) {
    // Read once: the analytics record keeps the first version it sees for good.
    if (!environment_.appVersion || !environment_.appBuild) {
        const platform::Bundle bundle = platform::Bundle::main();
        if (!environment_.appVersion) {
            environment_.appVersion = bundle.string("CFBundleShortVersionString").value_or("");
        }
        if (!environment_.appBuild) environment_.appBuild = bundle.string("CFBundleVersion").value_or("");
    }
    std::optional<fs::path> support = environment_.applicationSupportFolder;
    if (!support) {
        std::error_code error;
        fs::path found = applicationSupportDirectory(error);
        if (!error && !found.empty()) support = std::move(found);
    }
    if (!support) return;

    fs::path base = *support;
    const std::string executable = program_invocation_short_name ? program_invocation_short_name : "";
    if (!executable.empty()) {
        std::error_code error;
        fs::create_directories(*support / executable, error);
        if (!error) {
            base = *support / executable;
        } else {
            printLine("Warning! Could not create folder ~/Library/Application Support/" + executable + ".");
        }
    }
    entriesFileURL = base / entriesFileName;
    sendingFileURL = base / sendingFileName;
    analyticsFileURL = base / analyticsFileName;
    saveDictionary(analytics(analyticsFileURL, true), analyticsFileURL);
}

double ShippingDestination::now() const {
    // Whole seconds and the fraction apart: nanoseconds since 1970 as one double
    // would already have lost the sub-microsecond digits.
    const auto sinceEpoch = clock()->now().time_since_epoch();
    const auto seconds = std::chrono::floor<std::chrono::seconds>(sinceEpoch);
    return static_cast<double>(seconds.count()) + std::chrono::duration<double>(sinceEpoch - seconds).count();
}

std::int64_t ShippingDestination::pointsFor(LogFacilityLevel level) const {
    return levelMember(sendingPoints, level);
}

void ShippingDestination::debugLog(std::string_view text) const {
    if (!showNSLog) return;
    std::string line = "ShippingDestination: ";
    line.append(text);
    platform::nsLog(line);
}

std::optional<std::string> ShippingDestination::send(LogFacilityLevel level, const std::string& message,
                                                     const std::string& thread, const std::string& file,
                                                     const std::string& function, int line,
                                                     const std::optional<LogContext>& /*context*/) {
    const nlohmann::json entry = {
        {"timestamp", now()}, {"level", rawValue(level)},         {"message", message},
        {"thread", thread},   {"fileName", fileNameOfFile(file)}, {"function", function},
        {"line", line},
    };
    std::optional<std::string> text = jsonText(entry);
    if (!text) {
        printLine(kJSONFailure);
        return std::nullopt;
    }
    debugLog("saving '" + message + "' to " + describe(entriesFileURL));
    appendLine(*text, entriesFileURL, false);

    points_ = saturatingAdd(points_, pointsFor(level));
    debugLog("current sending points: " + std::to_string(points_));
    if ((points_ >= sendingPoints.threshold && points_ >= minAllowedThreshold) ||
        points_ > maxAllowedThreshold) {
        debugLog(std::to_string(points_) + " points is >= threshold");
        sendNow();
    } else if (initialSending_) {
        initialSending_ = false;
        if (const auto stored = entries(entriesFileURL); stored && stored->size() > 1) {
            debugLog("initialSending: " + std::to_string(points_) +
                     " points is below threshold but json file already has " +
                     std::to_string(stored->size()) + " lines.");
            sendNow();
        }
    }
    return text;
}

void ShippingDestination::sendNow() {
    std::error_code error;
    if (fs::exists(fs::symlink_status(sendingFileURL, error))) {
        debugLog("reset points to 0");
        points_ = 0;
    } else if (!moveEntriesToSendingFile()) {
        return;
    }
    if (sendingInProgress_) return;
    sendingInProgress_ = true;

    const std::optional<std::vector<Entry>> batch = entries(sendingFileURL);
    if (!batch) {
        // Unreadable for now: keep it for the next try.
        sendingInProgress_ = false;
        return;
    }
    if (batch->empty()) {
        // Nothing in it can ever be sent; keeping it would hold back every later batch
        // while the entries file grows.
        debugLog("Warning! Dropping " + describe(sendingFileURL) + ": it holds no usable entries.");
        deleteFile(sendingFileURL);
        sendingInProgress_ = false;
        return;
    }

    nlohmann::json device = analytics(analyticsFileURL, false);
    const nlohmann::json details = deviceDetails();
    for (const auto& [key, value] : details.items()) device[key] = value;
    const nlohmann::json payload = {{"device", std::move(device)}, {"entries", *batch}};
    const std::optional<std::string> text = jsonText(payload);
    if (!text) {
        printLine(kJSONFailure);
        sendingInProgress_ = false;
        return;
    }
    const std::string count = std::to_string(batch->size());
    debugLog("Encrypting " + count + " log entries ...");
    const std::optional<std::string> encrypted = AESTextCipher::encrypt(*text, encryptionKey);
    if (!encrypted) {
        sendingInProgress_ = false;
        return;
    }
    debugLog("Sending " + count + " encrypted log entries (" + std::to_string(encrypted->size()) +
             " chars) to server ...");
    // The completion runs inside upload() or from its response handler, which holds
    // the destination alive, so `this` is safe here.
    upload(*encrypted, [this, count](bool ok, int) {
        debugLog("Sent " + count +
                 " encrypted log entries to server, received ok: " + (ok ? "true" : "false"));
        if (ok) deleteFile(sendingFileURL);
        sendingInProgress_ = false;
        points_ = 0;
    });
}

void ShippingDestination::upload(const std::string& encrypted, UploadCompletion completion) {
    if (!queue || !serverURL) {
        completion(false, 0);
        return;
    }
    debugLog("assembling request ...");
    platform::HTTPRequest request;
    request.method = platform::HTTPRequest::Method::post;
    request.url = *serverURL;
    request.timeout = std::chrono::seconds(10);
    request.headers = {
        {"Content-Type", "application/json"},
        {"Accept", "application/json"},
        {"Authorization", "Basic " + platform::base64Encode(appID + ":" + appSecret)},
    };
    const nlohmann::json body = {{"payload", encrypted}};
    const std::optional<std::string> bodyText = jsonText(body);
    if (!bodyText) {
        debugLog("Error! Could not create JSON for server payload.");
        completion(false, 0);
        return;
    }
    request.body = *bodyText;
    debugLog("sending params: [\"payload\": \"" + encrypted + "\"]");
    debugLog("sending ...");
    sendingInProgress_ = true;
    httpClient_->send(
        std::move(request), queue,
        [weak = weak_from_this(), completion = std::move(completion)](platform::HTTPResult result) {
            const auto self = weak.lock();
            if (!self) return;
            self->debugLog("received response from server");
            if (result.error) {
                self->debugLog("Error! Could not send entries to server. " + result.error->message);
                completion(false, 0);
            } else if (result.response->status == 200) {
                completion(true, 200);
            } else {
                const int status = static_cast<int>(result.response->status);
                self->debugLog("Error! Sending entries to server failed with status code " +
                               std::to_string(status));
                completion(false, status);
            }
        });
}

bool ShippingDestination::appendLine(const std::string& text, const fs::path& url, bool overwrite) {
    const std::string line = text + "\n";
    bool ok;
    std::error_code error;
    if (!overwrite && fs::exists(fs::symlink_status(url, error))) {
        platform::FileDescriptor file(::open(url.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC));
        ok = file.get() >= 0 && platform::writeAll(file.get(), line);
        ok = file.get() >= 0 && file.close() && ok;
    } else {
        ok = replaceAtomically(url, line);
    }
    if (!ok) debugLog("Error! Could not write to file " + describe(url) + ".");
    return ok;
}

bool ShippingDestination::moveEntriesToSendingFile() {
    if (entriesFileURL.empty() || sendingFileURL.empty() ||
        ::rename(entriesFileURL.c_str(), sendingFileURL.c_str()) != 0) {
        debugLog("LogFacility Shipping Destination could not rename json file.");
        return false;
    }
    return true;
}

std::optional<std::vector<ShippingDestination::Entry>> ShippingDestination::entries(const fs::path& url) {
    const std::optional<std::string> text = readRegularFile(url);
    if (!text) {
        debugLog("Error! Could not read file " + describe(url) + ".");
        return std::nullopt;
    }
    std::vector<Entry> found;
    std::size_t number = 0;
    std::size_t start = 0;
    while (start <= text->size()) {
        std::size_t end = text->find('\n', start);
        if (end == std::string::npos) end = text->size();
        const std::string_view piece(text->data() + start, end - start);
        ++number;
        start = end + 1;
        if (piece.empty() || piece.front() != '{' || piece.back() != '}') continue;
        nlohmann::json parsed = parseBounded(piece);
        if (parsed.is_discarded()) {
            debugLog("Error! Could not parse line " + std::to_string(number) + " in file " + describe(url) +
                     ".");
            continue;
        }
        if (parsed.is_object() && !parsed.empty()) found.push_back(std::move(parsed));
    }
    return found;
}

bool ShippingDestination::deleteFile(const fs::path& url) {
    std::error_code error;
    if (!fs::remove(url, error) || error) {
        debugLog("Warning! Could not delete file " + describe(url) + ".");
        return false;
    }
    return true;
}

std::optional<nlohmann::json> ShippingDestination::dictionary(const fs::path& url) {
    const std::optional<std::string> text = readRegularFile(url);
    nlohmann::json parsed(nlohmann::json::value_t::discarded);
    if (text) parsed = parseBounded(*text);
    if (parsed.is_discarded()) {
        debugLog("LogFacility Shipping Destination could not read file " + describe(url));
        return std::nullopt;
    }
    if (!parsed.is_object()) return std::nullopt;
    return parsed;
}

bool ShippingDestination::saveDictionary(const nlohmann::json& dictionary, const fs::path& url) {
    const std::optional<std::string> text = jsonText(dictionary);
    if (!text) {
        printLine(kJSONFailure);
        return false;
    }
    debugLog("saving '" + *text + "' to " + describe(url));
    return appendLine(*text, url, true);
}

nlohmann::json ShippingDestination::analytics(const fs::path& url, bool update) {
    const double started = now();
    uuid_ = platform::makeUUIDString();
    nlohmann::json record = {
        {"uuid", uuid_},
        {"firstStart", started},
        {"lastStart", started},
        {"starts", 1},
        {"userName", analyticsUserName},
        {"firstAppVersion", appVersion()},
        {"appVersion", appVersion()},
        {"firstAppBuild", appBuild()},
        {"appBuild", appBuild()},
    };
    const std::optional<nlohmann::json> stored = dictionary(url);
    if (!stored) return record;
    auto member = [&stored](const char* key) -> const nlohmann::json* {
        const auto it = stored->find(key);
        return it == stored->end() ? nullptr : &*it;
    };
    if (const auto* value = member("firstStart"); value && value->is_number()) record["firstStart"] = *value;
    if (const auto* value = member("lastStart"); value && value->is_number() && !update) {
        record["lastStart"] = *value;
    }
    if (const auto* value = member("starts")) {
        if (const auto starts = integerOf(*value))
            record["starts"] = update ? saturatingAdd(*starts, 1) : *starts;
    }
    if (const auto* value = member("uuid"); value && value->is_string()) {
        uuid_ = value->get<std::string>();
        record["uuid"] = uuid_;
    }
    if (const auto* value = member("userName"); value && value->is_string()) {
        const std::string storedName = value->get<std::string>();
        if (update && !analyticsUserName.empty()) {
            record["userName"] = analyticsUserName;
        } else if (!storedName.empty()) {
            record["userName"] = storedName;
        }
    }
    if (const auto* value = member("firstAppVersion"); value && value->is_string()) {
        record["firstAppVersion"] = *value;
    }
    if (const auto* value = member("firstAppBuild")) {
        if (const auto build = integerOf(*value)) record["firstAppBuild"] = *build;
    }
    return record;
}

nlohmann::json ShippingDestination::deviceDetails() const {
    return {
        {"os", "OSX"},    {"osVersion", operatingSystemVersion()}, {"deviceName", ""}, {"deviceModel", ""},
        {"hostName", ""},
    };
}

std::string ShippingDestination::appVersion() const { return environment_.appVersion.value_or(""); }

std::int64_t ShippingDestination::appBuild() const {
    const std::string text = environment_.appBuild.value_or("");
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return 0;
    return value;
}

}  // namespace kiv
