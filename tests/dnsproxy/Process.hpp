#pragma once
// The extension's tests start their child processes through the shared helper.
#include "fakes/Process.hpp"

namespace testing_dnsproxy {
using kiv::fakes::Process;
}  // namespace testing_dnsproxy
