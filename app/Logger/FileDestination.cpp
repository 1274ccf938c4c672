#include "app/Logger/FileDestination.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/Logger/ConsoleDestination.hpp"
#include "app/Logger/StandardOutput.hpp"
#include "app/support/AppDirectory.hpp"
#include "platform/FileDescriptor.hpp"

namespace kiv {
namespace {

std::optional<std::filesystem::path> defaultLogFile() {
    std::error_code error;
    std::filesystem::path base = cachesDirectory(error);
    if (error) return std::nullopt;
    const std::string executable = program_invocation_short_name ? program_invocation_short_name : "";
    if (!executable.empty()) {
        std::filesystem::path folder = base / executable;
        std::filesystem::create_directories(folder, error);
        if (error || !std::filesystem::is_directory(folder)) {
            printLine("Warning! Could not create folder /Library/Caches/" + executable);
        } else {
            base = folder;
        }
    }
    return base / "logfacility.log";
}

}  // namespace

FileDestination::FileDestination(std::optional<std::filesystem::path> url, DestinationEnvironment environment)
    : BaseDestination(std::move(environment)), logFileURL(url ? std::move(url) : defaultLogFile()) {}

void FileDestination::setColored(bool on) {
    colored_ = on;
    if (on) {
        levelColor = ConsoleDestination::terminalColors();
        escape = ConsoleDestination::terminalEscape();
        reset = ConsoleDestination::terminalReset();
    } else {
        levelColor = LevelColor{};
        escape.clear();
        reset.clear();
    }
}

std::optional<std::string> FileDestination::send(LogFacilityLevel level, const std::string& message,
                                                 const std::string& thread, const std::string& file,
                                                 const std::string& function, int line,
                                                 const std::optional<LogContext>& context) {
    std::optional<std::string> text =
        BaseDestination::send(level, message, thread, file, function, line, context);
    if (!text) return std::nullopt;
    appendLine(*text);
    return text;
}

bool FileDestination::appendLine(const std::string& text) {
    if (!logFileURL) return false;
    return write(text + "\n", *logFileURL);
}

bool FileDestination::write(const std::string& data, const std::filesystem::path& url) {
    const std::string failure =
        "LogFacility File Destination could not write to file " + urlDescription(url) + ".";
    std::error_code error;
    if (!std::filesystem::exists(url, error)) {
        const std::filesystem::path folder = url.parent_path();
        if (!folder.empty() && !std::filesystem::is_directory(folder, error)) {
            std::filesystem::create_directories(folder, error);
            if (error) {
                printLine(failure);
                return false;
            }
        }
    }
    platform::FileDescriptor file(::open(url.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (file.get() < 0) {
        printLine(failure);
        return false;
    }
    // The lock keeps other writers of the same file (in this or another process) off the file
    // while the line goes in.
    int locked;
    do {
        locked = ::flock(file.get(), LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        printLine(std::string("Failed writing file with error: ") + std::strerror(errno));
        return false;
    }
    bool written = appendNow(data, url, file.get());
    if (!file.close() && written) {
        printLine(failure);
        written = false;
    }
    return written;
}

bool FileDestination::appendNow(const std::string& data, const std::filesystem::path& url, int fd) {
    bool written = platform::writeAll(fd, data);
    if (written && syncAfterEachWrite && ::fsync(fd) != 0) written = false;
    if (!written) {
        printLine("LogFacility File Destination could not write to file " + urlDescription(url) + ".");
    }
    return written;
}

bool FileDestination::removeLogFile() {
    if (!logFileURL) return true;
    std::error_code error;
    if (!std::filesystem::exists(*logFileURL, error)) return true;
    if (std::filesystem::remove(*logFileURL, error) && !error) return true;
    printLine("LogFacility File Destination could not remove file " + urlDescription(*logFileURL) + ".");
    return false;
}

std::string FileDestination::urlDescription(const std::filesystem::path& path) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string text = "file://";
    for (unsigned char c : path.string()) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                           std::strchr("-._~/!$&'()*+,;=:@", c) != nullptr;
        if (plain && c != 0) {
            text.push_back(static_cast<char>(c));
        } else {
            text.push_back('%');
            text.push_back(hex[c >> 4]);
            text.push_back(hex[c & 0x0f]);
        }
    }
    return text;
}

}  // namespace kiv
