#include "instance/server_location.h"

#include <gtest/gtest.h>

#include <fstream>

#include "error/error.h"
#include "support/scoped_temp_directory.h"

namespace {

namespace fs = std::filesystem;
using kelvotest::ScopedTempDirectory;

// What stands at <directory>/kelvod: nothing, a file, a directory, a link to a file.
void Make(const fs::path& directory, char entry, const fs::path& realFile) {
    fs::create_directories(directory);
    const fs::path server = directory / "kelvod";
    if (entry == 'f')
        std::ofstream(server) << "server";
    if (entry == 'd')
        fs::create_directory(server);
    if (entry == 'l')
        fs::create_symlink(realFile, server);
}

TEST(ServerSearch, FindsTheFirstDirectoryHoldingTheServerFile) {
    const struct {
        const char* entries;  // in <lib>/kelvo, <lib>, KELVO_PATH; '-' for nothing
        bool kelvoPathSet;
        const char* expected;  // "sub", "lib", "env"
    } cases[] = {
        {"fff", true, "sub"},  {"-ff", true, "lib"},
        {"--f", true, "env"},  {"ddf", true, "env"},  // a directory named kelvod is skipped
        {"lf-", false, "sub"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entries);
        ScopedTempDirectory root;
        const fs::path library = root.path() / "lib";
        const fs::path environment = root.path() / "elsewhere";
        const fs::path realFile = root.path() / "real-kelvod";
        std::ofstream(realFile) << "server";
        Make(library / "kelvo", c.entries[0], realFile);
        Make(library, c.entries[1], realFile);
        Make(environment, c.entries[2], realFile);
        const fs::path found = kelvoapi::FindKelvoDirectoryFrom(
            library, c.kelvoPathSet ? std::optional<std::string>(environment.string()) : std::nullopt);
        const std::string expected = c.expected;
        EXPECT_EQ(found, expected == "sub" ? library / "kelvo" : expected == "lib" ? library : environment);
    }
}

TEST(ServerSearch, NothingFoundNamesTheExpectedDirectory) {
    ScopedTempDirectory root;
    const fs::path library = root.path() / "lib";
    Make(library, 'd', {});
    for (const auto& environment : {std::optional<std::string>(), std::optional<std::string>("")}) {
        try {
            kelvoapi::FindKelvoDirectoryFrom(library, environment);
            FAIL() << "no error";
        } catch (const kelvoapi::Error& e) {
            EXPECT_EQ(e.GetSqlstate(), "58P01");
            EXPECT_EQ(e.GetMessage(),
                      "Could not auto-detect Kelvo binary: Kelvo binary is not in the expected directory " +
                          (library / "kelvo").string());
            EXPECT_EQ(e.GetHint(),
                      "Explicitly specify the path to the directory containing the Kelvo binary in the KelvoProcess "
                      "constructor.");
            EXPECT_EQ(e.GetContextId().value, 0x55c7d260u);
        }
    }
}

}  // namespace
