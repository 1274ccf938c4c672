#include "helper/KIVConfigHelper.hpp"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <vector>

#include "platform/AtomicFile.hpp"

namespace helper {
namespace {

constexpr std::size_t kMaxConfigBytes = 1024 * 1024;

bool isWordCharacter(UChar32 c) {
    if (c < 0) return false;
    if (u_hasBinaryProperty(c, UCHAR_ALPHABETIC)) return true;
    const auto type = u_charType(c);
    return type == U_DECIMAL_DIGIT_NUMBER || type == U_NON_SPACING_MARK || type == U_ENCLOSING_MARK ||
           type == U_COMBINING_SPACING_MARK || type == U_CONNECTOR_PUNCTUATION || c == 0x200C || c == 0x200D;
}

// Bytes of the run of word characters starting at `at`.
std::size_t wordRun(std::string_view text, std::size_t at) {
    std::size_t end = at;
    while (end < text.size()) {
        int32_t i = static_cast<int32_t>(end);
        UChar32 c;
        U8_NEXT(reinterpret_cast<const uint8_t*>(text.data()), i, static_cast<int32_t>(text.size()), c);
        if (!isWordCharacter(c)) break;
        end = static_cast<std::size_t>(i);
    }
    return end - at;
}

bool sameLetters(std::string_view a, std::string_view b, bool ignoreCase) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (ignoreCase) {
            if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
            if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        }
        if (x != y) return false;
    }
    return true;
}

// Length of the key line "key=<word characters>\n" starting at `at` (a line start), or 0.
std::size_t keyLineAt(std::string_view content, std::size_t at, std::string_view key, bool ignoreCase) {
    if (content.size() - at < key.size() + 2) return 0;
    if (!sameLetters(content.substr(at, key.size()), key, ignoreCase)) return 0;
    std::size_t p = at + key.size();
    if (content[p] != '=') return 0;
    p += 1;
    p += wordRun(content, p);
    if (p >= content.size() || content[p] != '\n') return 0;
    return p + 1 - at;
}

std::vector<std::size_t> lineStarts(std::string_view content) {
    std::vector<std::size_t> starts;
    for (std::size_t p = 0; p < content.size();) {
        starts.push_back(p);
        const auto newline = content.find('\n', p);
        if (newline == std::string_view::npos) break;
        p = newline + 1;
    }
    return starts;
}

}  // namespace

bool KIVConfigHelper::isWordText(std::string_view text) {
    return !text.empty() && wordRun(text, 0) == text.size();
}

KIVConfigHelper::Outcome KIVConfigHelper::updatedContent(std::string& content, std::string_view section,
                                                         std::string_view key, std::string_view value) {
    if (!isWordText(section) || !isWordText(key) || !isWordText(value)) return Outcome::badInput;
    const std::string newLine = std::string(key) + "=" + std::string(value) + "\n";
    const auto starts = lineStarts(content);
    bool exact = false;
    for (auto at : starts) exact = exact || keyLineAt(content, at, key, false) != 0;
    if (exact) {
        std::string out;
        std::size_t copied = 0;
        for (auto at : starts) {
            const std::size_t length = keyLineAt(content, at, key, true);
            if (length == 0) continue;
            out.append(content, copied, at - copied);
            out += newLine;
            copied = at + length;
        }
        out.append(content, copied, std::string::npos);
        content = std::move(out);
        return Outcome::replaced;
    }
    const std::string header = "[" + std::string(section) + "]\n";
    for (auto at : starts) {
        if (std::string_view(content).substr(at, header.size()) == header) {
            content.insert(at + header.size(), newLine);
            return Outcome::inserted;
        }
    }
    return Outcome::noSection;
}

std::optional<std::string> KIVConfigHelper::configFileContent() const {
    auto read = platform::readWholeFile(path_, kMaxConfigBytes);
    if (read.status != platform::FileRead::Status::read) {
        log_.log("Error reading file at file://" + path_.string() + ": " +
                 (read.error.empty() ? std::string("The file does not exist.") : read.error));
        return std::nullopt;
    }
    return std::move(read.content);
}

bool KIVConfigHelper::setConfigFileContent(const std::string& content) const {
    return platform::writeFileAtomically(path_, content, 0644).empty();
}

bool KIVConfigHelper::updateConfigFileSection(const std::string& section, const std::string& key,
                                              const std::string& value) const {
    auto content = configFileContent();
    if (!content || content->empty()) return false;
    switch (updatedContent(*content, section, key, value)) {
        case Outcome::badInput:
            log_.log("Refusing a value for " + std::string(isWordText(key) ? key : "a key") +
                     " that is not word characters only");
            return false;
        case Outcome::noSection:
            log_.log("Unable to find file section: " + section);
            return false;
        case Outcome::replaced:
        case Outcome::inserted:
            break;
    }
    if (!setConfigFileContent(*content)) {
        log_.log("Unable to update config.ini");
        return false;
    }
    log_.log(key + " updated successfully");
    return true;
}

}  // namespace helper
