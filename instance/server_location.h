// Where the server executable is found when the caller names no directory.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace kelvoapi {

// "kelvod": the library always starts this executable.
std::string getKelvoExecutableFilename(bool);

// The directory holding kelvod: the library directory's "kelvo"
// sub-directory, the library directory, or KELVO_PATH, in that order.
// Throws kelvoapi::Error.
std::filesystem::path FindKelvoDirectory();

// The search itself, over a given library directory and KELVO_PATH value.
std::filesystem::path FindKelvoDirectoryFrom(const std::filesystem::path& libraryDirectory,
                                             const std::optional<std::string>& kelvoPathValue);

// The value of KELVO_PATH, if set.
std::optional<std::string> ReadKelvoDirectoryEnvVar();

}  // namespace kelvoapi

extern "C" void dummyFunctionToLocateSharedObject();
