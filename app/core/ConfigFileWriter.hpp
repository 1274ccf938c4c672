#pragma once
// The one place where the application writes its own files: config.json and device.json of the
// application folder, and the cookie parameter file ".kivcookie" through which a run as root hands
// its settings to the user's running application (the parameter-file watcher polls it).
//
// Every write is atomic (platform::writeFileAtomically): a temporary file in the same folder takes
// the target's name, so readers never see half a file, a symbolic link planted at the target is
// replaced and never followed, and a failed write leaves the earlier file in place.
// config.json and device.json are written with mode 0644. The cookie file carries the install or
// device key, so only root and the application's user may read it: written by root it belongs to
// root and the group "kiv" with mode 0640 when that group exists (the application's users are its
// members), otherwise to the invoking user (SUDO_UID/SUDO_GID under sudo, else the writer itself)
// with mode 0600. Owner and mode are set on the new file before the keys are written into it.
// Failures are printed or logged; nothing is retried.
//
// The cookie file goes into each folder of `parameterFolders`: "/tmp", or the folder named by the
// variable KIV_TMP_DIR when it holds an absolute path (tests and sandboxes).
//
// A value type; it holds no mutable state and runs on its caller's thread (any). Concurrent writes
// of one file are ordered only by the atomic rename: the last one wins.
#include <sys/types.h>

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
    static constexpr const char* kParameterFileGroup = "kiv";

    // Who may read the cookie file, and how.
    struct ParameterFileAccess {
        uid_t uid = 0;
        gid_t gid = 0;
        mode_t mode = 0600;
        bool operator==(const ParameterFileAccess&) const = default;
    };

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

    // removeParameterFiles(), then writes parameterLines(values) to ".kivcookie" in every folder,
    // with parameterFileAccess()'s owner and mode.
    void writeParameterFile(const std::map<std::string, std::string>& values) const;

    // For a writer running as root: root, the group `group` and 0640 when that group exists, else
    // the invoking user's ids and 0600. For any other writer: its own ids and 0600.
    static ParameterFileAccess parameterFileAccess(const std::string& group = kParameterFileGroup);
    // Tests name a group of the test machine in place of "kiv".
    void setParameterFileGroup(std::string group) { parameterFileGroup_ = std::move(group); }

    // Carried along for the registry's record; nothing consults it.
    bool SANDBOXED = false;

private:
    std::shared_ptr<KIVLogger> logger() const { return logger_.wrappedValue(); }

    Injected<KIVLogger> logger_;
    std::vector<std::filesystem::path> parameterFolders_;
    Sleeper sleeper_;
    std::string parameterFileGroup_ = kParameterFileGroup;
};

// The registry's record: `global`, SANDBOXED set.
Service configFileWriterService();

}  // namespace kiv
