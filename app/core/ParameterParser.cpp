#include "app/core/ParameterParser.hpp"

#include <string>

#include "app/Logger/StandardOutput.hpp"
#include "app/core/Settings.hpp"
#include "app/core/XNCServerInfoSection.hpp"

namespace kiv {

void parseParameters(std::string_view text, Settings& settings) {
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);

        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos || line.find('=', equals + 1) != std::string_view::npos)
            continue;
        const auto key = serverInfoSectionFromRawValue(line.substr(0, equals));
        if (!key) continue;
        const std::string value(line.substr(equals + 1));
        printLine("getValuesFromInstaller:  saving value " + value + " for key " +
                  std::string(caseName(*key)));
        settings.set(value, *key);
    }
}

}  // namespace kiv
