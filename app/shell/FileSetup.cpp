#include "app/shell/FileSetup.hpp"

#include <filesystem>
#include <system_error>

#include "app/core/Utils.hpp"
#include "platform/AtomicFile.hpp"

namespace kiv {
namespace {

// An installer's config.json is a registration answer of a few hundred bytes.
constexpr std::size_t kMaxInstallerConfigBytes = 1024 * 1024;

}  // namespace

FileSetup::FileSetup()
    : FileSetup(Injected<KIVLogger>(), Injected<ConfigFileWriter>(), Injected<Settings>(),
                std::make_shared<DirectoryObserver>()) {}

FileSetup::FileSetup(Injected<KIVLogger> logger, Injected<ConfigFileWriter> configWriter,
                     Injected<Settings> settings, std::shared_ptr<DirectoryObserver> directoryObserver)
    : _logger(std::move(logger)),
      _configWriter(std::move(configWriter)),
      _settings(std::move(settings)),
      directoryObserver_(std::move(directoryObserver)) {}

bool FileSetup::pickUpInstallerConfiguration() {
    _logger->log("Testing if the installer has just run", model::LogLevel::production);
    if (appConfigFileExists() && hasServerURL(*_settings) && _settings->installKey()) return true;
    const auto text = readInstallerConfigFile();
    Utils::getValuesFromInstaller(*_settings);
    if (!text) return true;
    const auto path = Utils::configJSONPath();
    if (!path) return true;
    _logger->log("configuration picked up from installer is " + *text, model::LogLevel::production);
    return _configWriter->save(*text, *path);
}

std::optional<std::string> FileSetup::readInstallerConfigFile() {
    const auto path = Utils::installerConfigFilePath();
    _logger->log("Reading install path from " + (path ? path->string() : std::string()),
                 model::LogLevel::production);
    if (path) {
        platform::FileRead read = platform::readWholeFile(*path, kMaxInstallerConfigBytes);
        if (read.status == platform::FileRead::Status::read) return std::move(read.content);
    }
    _logger->log("Config file doesnt exist at ~Library/Caches/config.json. Recreating",
                 model::LogLevel::production);
    return std::nullopt;
}

bool FileSetup::appConfigFileExists() {
    const auto path = Utils::configJSONPath();
    std::error_code error;
    return path && std::filesystem::exists(*path, error);
}

bool FileSetup::hasServerURL(Settings& settings) {
    const auto text = settings.getString(XNCServerInfoSection::rpcURL);
    return text && Settings::serverURL(*text).has_value();
}

void FileSetup::watchApplicationFiles() {
    if (auto path = Utils::configJSONPath()) directoryObserver_->startObserving(*path);
    if (auto path = Utils::deviceJSONPath()) directoryObserver_->startObserving(*path);
}

void FileSetup::watchRootFiles() {
    const auto& folder = directoryObserver_->locations().rootFolder;
    if (!folder) return;
    directoryObserver_->startObserving(*folder / Utils::kConfigFileName);
    directoryObserver_->startObserving(*folder / Utils::kDeviceFileName);
}

}  // namespace kiv
