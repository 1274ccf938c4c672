#pragma once
// A destination that appends each rendered line, plus a line feed, to a text file. The file is
// opened anew for every line and held under an exclusive advisory lock (flock) while the line is
// appended, so writers in other processes that lock the same file do not interleave with it.
// A missing file (or folder) is created by the next line; the file is never truncated or rotated.
//
// Threads: as BaseDestination; send() runs on the destination's queue. Set logFileURL before
// attaching. Failures are reported by a line on standard output and a false result.
#include <filesystem>
#include <optional>
#include <string>

#include "app/Logger/BaseDestination.hpp"

namespace kiv {

class FileDestination : public BaseDestination {
public:
    // With no file given, the file is "logfacility.log" in the caches folder's subfolder named after
    // the executable (created here), or in the caches folder itself when that cannot be created;
    // no file at all when there is no caches folder.
    explicit FileDestination(std::optional<std::filesystem::path> logFileURL,
                             DestinationEnvironment environment = {});

    std::optional<std::filesystem::path> logFileURL;  // absent: nothing is written
    bool syncAfterEachWrite = false;

    bool colored() const { return colored_; }
    // true: terminal colour sequences in the file; false: no colours at all.
    void setColored(bool on);

    int defaultHashValue() const override { return 2; }
    // Appends the text; returns it whatever the write's outcome.
    std::optional<std::string> send(LogFacilityLevel level, const std::string& message,
                                    const std::string& thread, const std::string& file,
                                    const std::string& function, int line,
                                    const std::optional<LogContext>& context) override;

    // False when there is no file or the line could not be written whole.
    bool appendLine(const std::string& text);
    // True when there is no file to remove or it was removed. Runs on the caller's thread.
    bool removeLogFile();
    // Appends `data` to `url` under the file's lock; true when every byte was written.
    bool write(const std::string& data, const std::filesystem::path& url);

    // The text a file URL is shown as in messages: "file://" and the percent-encoded path.
    static std::string urlDescription(const std::filesystem::path& path);

private:
    bool appendNow(const std::string& data, const std::filesystem::path& url, int fd);

    bool colored_ = false;
};

}  // namespace kiv
