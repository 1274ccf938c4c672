#pragma once
// The one place where the application writes its own files: config.json and device.json of the
// application folder, and the cookie parameter file ".kivcookie" through which a run as root hands
// its settings to the user's running application (the parameter-file watcher polls it).
//
// Every write is atomic (platform::writeFileAtomically): a temporary file in the same folder takes
// the target's name, so readers never see half a file, a symbolic link planted at the target is
// replaced and never followed, and a failed write leaves the earlier file in place. Every file is
// written with mode 0644: the cookie file written by a root run must be readable by the user's
// application. Failures are printed or logged; nothing is retried.
//
// The cookie file goes into each folder of `parameterFolders`: "/tmp", or the folder named by the
// variable KIV_TMP_DIR when it holds an absolute path (tests and sandboxes).
//
// A value type; it holds no mutable state and runs on its caller's thread (any). Concurrent writes
// of one file are ordered only by the atomic rename: the last one wins.
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "app/Logger/KIVLogger.hpp"
#include "app/core/Injected.hpp"
#include "app/core/Service.hpp"
#include "model/MainConfiguration.hpp"

namespace kiv {

class ConfigFileWriter {
public:
    using Sleeper = std::function<void()>;
    static constexpr const char* kParameterFileName = ".kivcookie";
    static constexpr const char* kTmpDirVariable = "KIV_TMP_DIR";

    // The default parameter folders, a real one-second pause, the registry's logger.
    ConfigFileWriter();
    ConfigFileWriter(std::vector<std::filesystem::path> parameterFolders, Sleeper sleeper,
                     Injected<KIVLogger> logger = Injected<KIVLogger>());

    // {"/tmp"}, or {$KIV_TMP_DIR} when that is an absolute path.
    static std::vector<std::filesystem::path> defaultParameterFolders();
    const std::vector<std::filesystem::path>& parameterFolders() const { return parameterFolders_; }

    // Writes `text` to `path`, then gives the file to the invoking user (Utils). Logs
    // "saving config file to <file URL>"; prints "A write error occured <reason>" on failure.
    bool save(std::string_view text, const std::filesystem::path& path) const;

    // The folder of "KIV.log": Application Support (created) + "BrannockCloud", not created and
    // not mapped to the invoking user. The same folder as appDirectory() of app/support.
    static std::filesystem::path directory(std::error_code& error);

    // The registration answer as JSON text (sorted keys), or empty text when it has none.
    std::string jsonText(const model::MainConfiguration& configuration) const;

    // Saves the answer as config.json. Text that came out empty leaves the earlier file as it is.
    // Unless `quiet`, logs "Configuration Succeeded:: Configration file" and then the text.
    void writeConfigFile(const model::MainConfiguration& configuration, bool quiet) const;

    // "KEY=value\n" per entry, in the map's order; values are written unchanged.
    static std::string parameterLines(const std::map<std::string, std::string>& values);

    // Removes ".kivcookie" from every parameter folder (a missing file is reported like any other
    // failure), then pauses one second so that the watcher sees a new modification time.
    void removeParameterFiles() const;

    // removeParameterFiles(), then writes parameterLines(values) to ".kivcookie" in every folder.
    // The owner is not changed.
    void writeParameterFile(const std::map<std::string, std::string>& values) const;

    // Carried along for the registry's record; nothing consults it.
    bool SANDBOXED = false;

private:
    std::shared_ptr<KIVLogger> logger() const { return logger_.wrappedValue(); }

    Injected<KIVLogger> logger_;
    std::vector<std::filesystem::path> parameterFolders_;
    Sleeper sleeper_;
};

// The registry's record: `global`, SANDBOXED set.
Service configFileWriterService();

}  // namespace kiv
