#pragma once
// Updates one key of config.ini, the product's INI settings file (section header lines
// "[name]" and "key=value" lines, each ended by a line feed). The file is put in place by the
// installation; the helper only updates it, atomically.
//
// A key line is found only at the start of a line: the key, "=", a run of word characters and
// a line feed. When the key's line exists in its exact letter case, every line of the key in any
// letter case (in every section) is replaced; otherwise the new line becomes the first line of
// the section. Keys and values are word characters only, so a value can never add a line.
//
// Threads: any; concurrent updates end with the later write in place.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/keychain/KIVLogHelper.hpp"

namespace helper {

class KIVConfigHelper {
public:
    KIVConfigHelper(std::filesystem::path configFile, const platform::KIVLogHelper& log)
        : path_(std::move(configFile)), log_(log) {}

    // False (file unchanged) when the file is missing, unreadable, empty or lacks the section,
    // when the key or value holds anything but word characters, or when the write fails.
    bool updateConfigFileSection(const std::string& section, const std::string& key,
                                 const std::string& value) const;

    const std::filesystem::path& configFilePath() const { return path_; }
    std::optional<std::string> configFileContent() const;
    bool setConfigFileContent(const std::string& content) const;

    enum class Outcome { replaced, inserted, noSection, badInput };
    // The content with the key set; the text is left as it was unless the outcome is replaced
    // or inserted.
    static Outcome updatedContent(std::string& content, std::string_view section, std::string_view key,
                                  std::string_view value);
    // Whether `text` is one or more word characters (letters, marks, digits, connector punctuation).
    static bool isWordText(std::string_view text);

private:
    std::filesystem::path path_;
    const platform::KIVLogHelper& log_;
};

}  // namespace helper
