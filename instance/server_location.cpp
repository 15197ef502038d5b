// Finding the server executable next to the library.
#include "instance/server_location.h"
#include "error/context_ids.h"

#include <dlfcn.h>

#include <cstdlib>
#include <system_error>

#include "error/error.h"

// Its address tells the dynamic loader which file holds the library's code.
extern "C" void dummyFunctionToLocateSharedObject() {}

namespace kelvoapi {

namespace fs = std::filesystem;

std::string getKelvoExecutableFilename(bool) { return "kelvod"; }

namespace {

// After following symbolic links; a directory named kelvod does not count.
bool HoldsExecutable(const fs::path& directory) {
    std::error_code ignored;
    return fs::is_regular_file(directory / getKelvoExecutableFilename(false), ignored);
}

}  // namespace

std::optional<std::string> ReadKelvoDirectoryEnvVar() {
    const char* value = std::getenv("KELVO_PATH");
    if (value == nullptr)
        return std::nullopt;
    return std::string(value);
}

fs::path FindKelvoDirectoryFrom(const fs::path& libraryDirectory, const std::optional<std::string>& kelvoPathValue) {
    fs::path subDirectory = libraryDirectory / "kelvo";
    if (HoldsExecutable(subDirectory))
        return subDirectory;
    if (HoldsExecutable(libraryDirectory))
        return libraryDirectory;
    if (kelvoPathValue && HoldsExecutable(fs::path(*kelvoPathValue)))
        return fs::path(*kelvoPathValue);
    Error error(
        kelvo::make_error_code(kelvo::Sqlstate::UndefinedFile),
        "Could not auto-detect Kelvo binary: Kelvo binary is not in the expected directory " + subDirectory.string(),
        ContextIds::ServerNotInLibraryDirectory);
    error.SetHint(
        "Explicitly specify the path to the directory containing the Kelvo binary in the KelvoProcess "
        "constructor.");
    throw error;
}

fs::path FindKelvoDirectory() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&dummyFunctionToLocateSharedObject), &info) == 0 ||
        info.dli_fname == nullptr) {
        Error error(kelvo::make_error_code(kelvo::Sqlstate::InternalError),
                    "The Kelvo API cannot auto-detect the Kelvo binary.", ContextIds::ServerLibraryNotLocated);
        error.SetHint("Please specify the path to the directory containing the Kelvo binary manually.");
        throw error;
    }
    return FindKelvoDirectoryFrom(fs::path(info.dli_fname).parent_path(), ReadKelvoDirectoryEnvVar());
}

}  // namespace kelvoapi
