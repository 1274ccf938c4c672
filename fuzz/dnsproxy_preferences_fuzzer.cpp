// libFuzzer target for the DNS-proxy preferences file, which the application writes and the
// daemon (often root) trusts: the bounded JSON parser and the preferences read from it.
// Aborts when
// - the bounded parser refuses anything but text that is not JSON or is nested deeper than its
//   limit, or reads a value other than the library's own parser does;
// - loading the file disagrees with parsing its text, or a saved file reads back differently:
//   what the application saves is what the daemon starts with.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/FuzzCheck.hpp"
#include "platform/AtomicFile.hpp"
#include "platform/ne/DNSProxyPreferences.hpp"

using fuzz::check;
using platform::ne::DNSProxyPreferences;
using platform::ne::kMaxJSONDepth;
using platform::ne::parseBoundedJSON;

namespace {

namespace fs = std::filesystem;

// The nesting of the deepest value (the top one is 0), without recursion: the library's
// parser takes any depth, so its result may be far deeper than a stack allows.
int nesting(const nlohmann::json& top) {
    int deepest = 0;
    std::vector<std::pair<const nlohmann::json*, int>> pending{{&top, 0}};
    while (!pending.empty()) {
        const auto [value, depth] = pending.back();
        pending.pop_back();
        if (depth > deepest) deepest = depth;
        if (value->is_structured()) {
            for (const auto& member : *value) pending.emplace_back(&member, depth + 1);
        }
    }
    return deepest;
}

void boundedParser(const std::string& text, const nlohmann::json& unbounded) {
    const int depth = unbounded.is_discarded() ? -1 : nesting(unbounded);
    for (const int limit : {0, 2, kMaxJSONDepth}) {
        const nlohmann::json bounded = parseBoundedJSON(text, limit);
        const bool expected = !unbounded.is_discarded() && depth <= limit;
        check(bounded.is_discarded() != expected, "bounded parser accepts the wrong texts");
        // Equality recurses: compared only within the limit.
        if (expected) check(bounded == unbounded, "bounded parser reads another value");
    }
}

// A folder of the input's own on tmpfs where there is one, as saving syncs every file;
// made and removed per input, since libFuzzer ends without running exit handlers.
class ScratchFolder {
public:
    ScratchFolder() {
        const fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        std::string pattern = (base / "kiv-fuzz-preferences-XXXXXX").string();
        check(::mkdtemp(pattern.data()) != nullptr, "no scratch folder");
        path_ = pattern;
    }
    ~ScratchFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

void fileRoundTrip(const std::string& text, const nlohmann::json& parsed) {
    const ScratchFolder scratch;
    const fs::path written = scratch.path() / "written.json";
    const fs::path saved = scratch.path() / "saved.json";
    check(platform::writeFileAtomically(written, text).empty(), "cannot write the input");
    const auto load = platform::ne::loadDNSProxyPreferences(written.string());
    const bool isObject = !parsed.is_discarded() && parsed.is_object();
    if (!isObject) {
        check(load.status == platform::ne::PreferencesLoad::Status::unreadable && !load.error.empty(),
              "a text that is no JSON object loads");
        return;
    }
    check(load.status == platform::ne::PreferencesLoad::Status::loaded, "a JSON object does not load");
    const nlohmann::json read = load.preferences.toJSON();
    check(read == DNSProxyPreferences::fromJSON(parsed).toJSON(), "loading reads another value");
    check(DNSProxyPreferences::fromJSON(read).toJSON() == read, "preferences do not read back");

    check(platform::ne::saveDNSProxyPreferences(saved.string(), load.preferences).empty(), "save failed");
    const auto again = platform::ne::loadDNSProxyPreferences(saved.string());
    check(again.status == platform::ne::PreferencesLoad::Status::loaded, "saved preferences do not load");
    check(again.preferences.toJSON() == read, "saved preferences read back differently");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const nlohmann::json unbounded = nlohmann::json::parse(text, nullptr, false);
    boundedParser(text, unbounded);
    const nlohmann::json parsed = parseBoundedJSON(text);
    fileRoundTrip(text, parsed);
    return 0;
}
