#pragma once

#include <optional>

#include "app/Logger/KIVLogger.hpp"

namespace kiv::testing {

// A device configuration whose only content is the log level the device server gave.
inline model::DeviceConfiguration configurationWithLevel(std::optional<model::LogLevel> level) {
    model::Kiv kiv;
    kiv.logLevel = level;
    model::Runtime runtime;
    runtime.kiv = kiv;
    model::Configuration cfg;
    cfg.runtime = runtime;
    model::DeviceResult result;
    result.cfg = cfg;
    model::DeviceConfiguration configuration;
    configuration.result = result;
    return configuration;
}

}  // namespace kiv::testing
