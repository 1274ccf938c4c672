#include "platform/Bundle.hpp"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>

#include "platform/NoDestructor.hpp"
#include "platform/SystemLog.hpp"

namespace platform {
namespace {

constexpr std::uintmax_t kMaxInfoPlistSize = 1024 * 1024;

std::filesystem::path mainBundlePath() {
    const char* env = std::getenv(kMainBundleEnv);
    if (env != nullptr && *env != '\0') return env;
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return std::filesystem::current_path(ec);
    return exe.parent_path();
}

}  // namespace

Bundle Bundle::load(std::filesystem::path path) {
    auto empty = std::make_shared<const nlohmann::json>(nlohmann::json::object());
    const auto file = path / "Info.plist";
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec)) return Bundle(std::move(path), empty);
    const SystemLog log("com.veltrix.kiv", "bundle");
    const auto size = std::filesystem::file_size(file, ec);
    if (ec || size > kMaxInfoPlistSize) {
        log.error("Ignoring " + file.string() + ": unreadable or larger than 1 MiB");
        return Bundle(std::move(path), empty);
    }
    std::ifstream in(file, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto info = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (info.is_discarded() || !info.is_object()) {
        log.error("Ignoring " + file.string() + ": not a JSON object");
        return Bundle(std::move(path), empty);
    }
    return Bundle(std::move(path), std::make_shared<const nlohmann::json>(std::move(info)));
}

std::optional<Bundle> Bundle::atPath(const std::filesystem::path& path) {
    std::error_code ec;
    if (!std::filesystem::is_directory(path, ec)) return std::nullopt;
    return load(path);
}

Bundle Bundle::main() {
    struct Cache {
        std::mutex mutex;
        std::optional<Bundle> bundle;
    };
    static NoDestructor<Cache> cache;
    auto path = mainBundlePath();
    std::lock_guard lock(cache->mutex);
    if (!cache->bundle || cache->bundle->bundlePath() != path) cache->bundle = load(std::move(path));
    return *cache->bundle;
}

Bundle Bundle::withInfoDictionary(std::filesystem::path path, nlohmann::json info) {
    if (!info.is_object()) info = nlohmann::json::object();
    return Bundle(std::move(path), std::make_shared<const nlohmann::json>(std::move(info)));
}

const nlohmann::json* Bundle::objectForInfoDictionaryKey(std::string_view key) const {
    auto it = info_->find(key);
    return it == info_->end() ? nullptr : &*it;
}

std::optional<std::string> Bundle::string(std::string_view key) const {
    const auto* value = objectForInfoDictionaryKey(key);
    if (value == nullptr || !value->is_string()) return std::nullopt;
    return value->get<std::string>();
}

}  // namespace platform
