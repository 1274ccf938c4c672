#include "app/core/ConfigFileWriter.hpp"

#include <grp.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "app/Logger/StandardOutput.hpp"
#include "app/core/Utils.hpp"
#include "app/support/AppDirectory.hpp"
#include "platform/AtomicFile.hpp"

namespace kiv {
namespace {

// The configuration files hold no secret.
constexpr mode_t kFileMode = 0644;
constexpr mode_t kGroupReadableMode = 0640;
constexpr mode_t kOwnerOnlyMode = 0600;

std::optional<gid_t> groupNamed(const std::string& name) {
    std::vector<char> buffer(16384);
    struct group entry {};
    struct group* found = nullptr;
    if (::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
        return std::nullopt;
    }
    return found->gr_gid;
}

// A decimal id from the environment; nothing when unset or not a plain number.
template <class Id>
std::optional<Id> idFromEnvironment(const char* name) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return std::nullopt;
    unsigned long value = 0;
    const char* end = text + std::strlen(text);
    const auto [stop, error] = std::from_chars(text, end, value);
    if (error != std::errc() || stop != end || value != static_cast<Id>(value)) return std::nullopt;
    return static_cast<Id>(value);
}

void sleepOneSecond() { std::this_thread::sleep_for(std::chrono::seconds(1)); }

}  // namespace

ConfigFileWriter::ConfigFileWriter() : ConfigFileWriter(defaultParameterFolders(), sleepOneSecond) {}

ConfigFileWriter::ConfigFileWriter(std::vector<std::filesystem::path> parameterFolders, Sleeper sleeper,
                                   Injected<KIVLogger> logger)
    : logger_(std::move(logger)),
      parameterFolders_(std::move(parameterFolders)),
      sleeper_(std::move(sleeper)) {}

std::vector<std::filesystem::path> ConfigFileWriter::defaultParameterFolders() {
    if (const char* folder = std::getenv(kTmpDirVariable); folder && *folder == '/') return {folder};
    return {"/tmp"};
}

bool ConfigFileWriter::save(std::string_view text, const std::filesystem::path& path) const {
    logger()->log("saving config file to " + Utils::fileURLText(path), model::LogLevel::production);
    const std::string failure = platform::writeFileAtomically(path, text, kFileMode);
    if (!failure.empty()) {
        printLine("A write error occured " + failure);
        return false;
    }
    Utils::setOwnerToInvokingUser(path);
    return true;
}

std::filesystem::path ConfigFileWriter::directory(std::error_code& error) { return appDirectory(error); }

std::string ConfigFileWriter::jsonText(const model::MainConfiguration& configuration) const {
    auto text = configuration.jsonString(model::TextEncoding::utf8);
    if (!text) {
        logger()->log("Failed to get JSON string from the device register " + text.error().description(),
                      model::LogLevel::production);
        return {};
    }
    return text->value_or(std::string());
}

void ConfigFileWriter::writeConfigFile(const model::MainConfiguration& configuration, bool quiet) const {
    const std::string text = jsonText(configuration);
    // An answer that gave no text would only empty a good file.
    if (!text.empty()) {
        if (auto path = Utils::configJSONPath()) save(text, *path);
    }
    if (!quiet) {
        logger()->log("Configuration Succeeded:: Configration file", model::LogLevel::production);
        logger()->log(text, model::LogLevel::production);
    }
}

std::string ConfigFileWriter::parameterLines(const std::map<std::string, std::string>& values) {
    std::string lines;
    for (const auto& [key, value] : values) {
        lines += key;
        lines += '=';
        lines += value;
        lines += '\n';
    }
    return lines;
}

void ConfigFileWriter::removeParameterFiles() const {
    for (const auto& folder : parameterFolders_) {
        // unlink removes a symbolic link itself, never what it points at.
        if (::unlink((folder / kParameterFileName).c_str()) != 0) {
            const int error = errno;
            printLine("failed to delete item at path " + folder.string() + " with " +
                      std::generic_category().message(error));
        }
    }
    // The watcher compares modification times; the pause makes the new file's time differ.
    if (sleeper_) sleeper_();
}

ConfigFileWriter::ParameterFileAccess ConfigFileWriter::parameterFileAccess(const std::string& group) {
    const uid_t self = ::geteuid();
    if (self != 0) return {self, ::getegid(), kOwnerOnlyMode};
    if (const auto gid = groupNamed(group)) return {0, *gid, kGroupReadableMode};
    // sudo names the user who ran it.
    if (const auto uid = idFromEnvironment<uid_t>("SUDO_UID")) {
        return {*uid, idFromEnvironment<gid_t>("SUDO_GID").value_or(::getegid()), kOwnerOnlyMode};
    }
    return {0, ::getegid(), kOwnerOnlyMode};
}

void ConfigFileWriter::writeParameterFile(const std::map<std::string, std::string>& values) const {
    removeParameterFiles();
    const std::string lines = parameterLines(values);
    const ParameterFileAccess access = parameterFileAccess(parameterFileGroup_);
    for (const auto& folder : parameterFolders_) {
        const std::filesystem::path path = folder / kParameterFileName;
        const std::string failure =
            platform::writeFileAtomically(path, lines, access.mode, {access.uid, access.gid});
        if (!failure.empty()) {
            printLine("file could not be written to " + Utils::fileURLText(path) + " with " + failure);
        }
    }
}

Service configFileWriterService() {
    return Service::make<ConfigFileWriter>(Service::LifeCycle::global, [] {
        ConfigFileWriter writer;
        writer.SANDBOXED = true;
        return writer;
    });
}

}  // namespace kiv
