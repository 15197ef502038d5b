// The oldest engine kelvod runs on: earlier ones corrupt tables under concurrent
// updates and can lose committed rows when a checkpoint meets a full disk.
#pragma once

#include <string>

namespace kelvod {

// True for an engine version text ("v1.5.6", "1.5.0-dev12") of 1.5 or later.
bool EngineVersionSupported(const std::string& version);

}  // namespace kelvod
