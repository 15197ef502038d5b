// Random names for files that land in shared directories.
#pragma once

#include <cstddef>
#include <string>

namespace kelvoapi {

// `length` characters drawn uniformly from [a-zA-Z0-9], every one of them
// from the operating system's random source. Safe on any thread.
std::string GenerateRandomPrintableString(size_t length);

}  // namespace kelvoapi
