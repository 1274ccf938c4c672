#include "app/shell/DirectoryObserver.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>

#include "app/Logger/StandardOutput.hpp"
#include "app/core/ConfigFileWriter.hpp"
#include "app/core/ParameterParser.hpp"
#include "app/core/Utils.hpp"
#include "platform/FileDescriptor.hpp"

namespace kiv {
namespace {

// The parameter files hold a few dozen short lines.
constexpr std::size_t kMaxParameterFileBytes = 64 * 1024;

std::string errorText(int error) { return std::generic_category().message(error); }

// Why the parameter file open at `fd` must not be applied; empty when it may.
std::string refusalOf(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return "cannot read its attributes: " + errorText(errno);
    if (!S_ISREG(st.st_mode)) return "not a regular file";
    if (st.st_uid != 0 && st.st_uid != ::geteuid()) {
        return "owned by user " + std::to_string(st.st_uid) + ", neither root nor this user";
    }
    if (st.st_mode & (S_IWGRP | S_IWOTH)) return "writable by others";
    if (static_cast<std::size_t>(st.st_size) > kMaxParameterFileBytes) return "too large";
    return {};
}

}  // namespace

std::string_view rawValue(WatchedFileKind kind) {
    switch (kind) {
        case WatchedFileKind::deviceJSON:
            return "device.json";
        case WatchedFileKind::configJSON:
            return "config.json";
        case WatchedFileKind::otherFile:
            break;
    }
    return "unknown";
}

DirectoryObserver::Locations DirectoryObserver::Locations::defaults() {
    Locations locations;
    locations.parameterFile =
        ConfigFileWriter::defaultParameterFolders().front() / ConfigFileWriter::kParameterFileName;
    if (auto rootConfig = Utils::rootConfigJSONPath()) locations.rootFolder = rootConfig->parent_path();
    return locations;
}

DirectoryObserver::DirectoryObserver()
    : DirectoryObserver(
          Injected<NotificationPublisher>(), Injected<KIVLogger>(), Injected<Settings>(),
          [installerHelper = Injected<InstallerHelper>()](std::function<void()> completion) {
              installerHelper->run(true, std::move(completion));
          },
          Locations::defaults(), platform::mainQueue()) {}

DirectoryObserver::DirectoryObserver(Injected<NotificationPublisher> publisher, Injected<KIVLogger> logger,
                                     Injected<Settings> settings, Reregister reregister, Locations locations,
                                     platform::DispatchQueuePtr queue)
    : _notificationPublisher(std::move(publisher)),
      _logger(std::move(logger)),
      _settings(std::move(settings)),
      reregister_(std::move(reregister)),
      locations_(std::move(locations)),
      queue_(std::move(queue)),
      savedFileDate_(platform::processClock()->now()) {}

// Each watch's cancel handler closes its descriptor.
DirectoryObserver::~DirectoryObserver() = default;

void DirectoryObserver::startObserving(const std::filesystem::path& file) {
    struct stat st {};
    if (::lstat(file.c_str(), &st) != 0 && errno == ENOENT) {
        // O_EXCL with O_NOFOLLOW: a name that appeared meanwhile, or a planted link, is left alone.
        platform::FileDescriptor(
            ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    }
    startTimer();

    const int fd = platform::openForEvents(file);
    fileDescriptor_ = fd;
    if (fd < 0) return;
    auto watch = std::make_unique<platform::FileWatch>(fd, platform::allFileEvents, queue_);
    watch->setEventHandler([weak = weak_from_this(), file](std::uint32_t) {
        if (auto self = weak.lock()) self->handleFileEvent(file);
    });
    watch->setCancelHandler([fd] { ::close(fd); });
    if (!watch->resume()) return;  // cancelled: its handler closes the descriptor
    watches_.push_back(std::move(watch));
}

void DirectoryObserver::startTimer() { scheduleTick(++timerGeneration_); }

void DirectoryObserver::scheduleTick(std::uint64_t generation) {
    const auto interval = std::chrono::duration<double>(timerInterval);
    queue_->asyncAfter(std::chrono::duration_cast<std::chrono::nanoseconds>(interval),
                       [weak = weak_from_this(), generation] {
                           if (auto self = weak.lock()) self->tick(generation);
                       });
}

void DirectoryObserver::tick(std::uint64_t generation) {
    if (generation != timerGeneration_) return;  // replaced by a later startTimer()
    checkInstallerParameters();
    if (generation == timerGeneration_) scheduleTick(generation);
}

void DirectoryObserver::checkInstallerParameters() {
    const std::filesystem::path& path = locations_.parameterFile;
    if (!parameterFileChanged(path)) return;
    _logger->log("Install params have changed", model::LogLevel::production);
    if (readParameterFile(path) == ParameterFileRead::refused) return;
    _logger->log("reConfiguring server", model::LogLevel::production);
    if (!reregister_) return;
    reregister_([logger = _logger] {
        logger->log("updated configuration because the root configuration was updated",
                    model::LogLevel::production);
    });
}

bool DirectoryObserver::parameterFileChanged(const std::filesystem::path& path) {
    // The link itself when one was planted there: readParameterFile() refuses to follow it.
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return false;
    const platform::Clock::TimePoint date{std::chrono::seconds(st.st_mtim.tv_sec) +
                                          std::chrono::nanoseconds(st.st_mtim.tv_nsec)};
    if (date == savedFileDate_) return false;
    savedFileDate_ = date;
    return true;
}

DirectoryObserver::ParameterFileRead DirectoryObserver::readParameterFile(const std::filesystem::path& path) {
    platform::FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
        const int error = errno;
        if (error == ELOOP) {
            _logger->log("ignoring the parameter file " + path.string() + ": a symbolic link",
                         model::LogLevel::production);
            return ParameterFileRead::refused;
        }
        printLine("failed to get the reat the path " + path.string() + " with error: " + errorText(error));
        return ParameterFileRead::unreadable;
    }
    if (const std::string refusal = refusalOf(fd.get()); !refusal.empty()) {
        _logger->log("ignoring the parameter file " + path.string() + ": " + refusal,
                     model::LogLevel::production);
        return ParameterFileRead::refused;
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            printLine("failed to get the reat the path " + path.string() +
                      " with error: " + errorText(errno));
            return ParameterFileRead::unreadable;
        }
        if (n == 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
        // Grown since the check: what was read so far is not the whole file; refuse it.
        if (text.size() > kMaxParameterFileBytes) {
            _logger->log("ignoring the parameter file " + path.string() + ": too large",
                         model::LogLevel::production);
            return ParameterFileRead::refused;
        }
    }
    parseParameters(text, *_settings);
    return ParameterFileRead::applied;
}

void DirectoryObserver::parseParameters(std::string_view text, Settings& settings) {
    kiv::parseParameters(text, settings);
}

void DirectoryObserver::handleFileEvent(const std::filesystem::path& file) {
    copyRootFile(file);
    auto configuration = Utils::readDeviceConfiguration();
    if (configuration) {
        _notificationPublisher->publish(ChangeType::deviceConfigEditedLocally, std::move(*configuration));
    } else {
        _notificationPublisher->publish(ChangeType::deviceConfigEditedLocally);
    }
}

void DirectoryObserver::copyRootFile(const std::filesystem::path& file) {
    // Root's folder as a whole path, not "root" anywhere in the text: a user named rootbeer, or a
    // folder of that name, is not root.
    if (!locations_.rootFolder) return;
    if (file.parent_path().lexically_normal() != locations_.rootFolder->lexically_normal()) return;
    switch (fileKind(file)) {
        case WatchedFileKind::deviceJSON:
            copyFile(file, Utils::deviceJSONPath());
            break;
        case WatchedFileKind::configJSON:
            copyFile(file, Utils::configJSONPath());
            break;
        case WatchedFileKind::otherFile:
            break;
    }
}

WatchedFileKind DirectoryObserver::fileKind(const std::filesystem::path& file) {
    const std::string name = file.filename().string();
    if (name == rawValue(WatchedFileKind::deviceJSON)) return WatchedFileKind::deviceJSON;
    if (name == rawValue(WatchedFileKind::configJSON)) return WatchedFileKind::configJSON;
    return WatchedFileKind::otherFile;
}

void DirectoryObserver::copyFile(const std::filesystem::path& from,
                                 const std::optional<std::filesystem::path>& to) {
    if (!to) return;
    std::error_code error;
    // An existing destination is kept: the user's own configuration wins over root's.
    std::filesystem::copy_file(from, *to, std::filesystem::copy_options::none, error);
    if (error) {
        _logger->log("failed to copy url " + Utils::fileURLText(from) + " to url " + Utils::fileURLText(*to) +
                         " with error " + error.message(),
                     model::LogLevel::production);
    }
}

}  // namespace kiv
