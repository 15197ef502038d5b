#include "instance/server_location.h"

#include <gtest/gtest.h>

#include <fstream>

#include "error/error.h"
#include "support/scoped_temp_directory.h"

namespace {

namespace fs = std::filesystem;
using kelvotest::ScopedTempDirectory;

enum class Entry { None, File, Directory, Symlink };

void Make(const fs::path& directory, Entry entry, const fs::path& target = {}) {
    fs::create_directories(directory);
    const fs::path server = directory / "kelvod";
    switch (entry) {
        case Entry::None:
            break;
        case Entry::File:
            std::ofstream(server) << "server";
            break;
        case Entry::Directory:
            fs::create_directory(server);
            break;
        case Entry::Symlink:
            fs::create_symlink(target, server);
            break;
    }
}

struct SearchCase {
    const char* name;
    Entry inSubDirectory;
    Entry inLibraryDirectory;
    Entry inKelvoPath;
    bool kelvoPathSet;
    const char* expected;  // "sub", "lib", "env"
};

class ServerSearch : public ::testing::TestWithParam<SearchCase> {};

TEST_P(ServerSearch, FindsTheFirstDirectoryHoldingTheServerFile) {
    const SearchCase& c = GetParam();
    ScopedTempDirectory root;
    const fs::path library = root.path() / "lib";
    const fs::path environment = root.path() / "elsewhere";
    const fs::path realFile = root.path() / "real-kelvod";
    std::ofstream(realFile) << "server";
    Make(library / "kelvo", c.inSubDirectory, realFile);
    Make(library, c.inLibraryDirectory, realFile);
    Make(environment, c.inKelvoPath, realFile);

    const fs::path found = kelvoapi::FindKelvoDirectoryFrom(
        library, c.kelvoPathSet ? std::optional<std::string>(environment.string()) : std::nullopt);
    const std::string expected = c.expected;
    EXPECT_EQ(found, expected == "sub" ? library / "kelvo" : expected == "lib" ? library : environment);
}

INSTANTIATE_TEST_SUITE_P(
    Order, ServerSearch,
    ::testing::Values(
        SearchCase{"SubDirectoryBeforeLibrary", Entry::File, Entry::File, Entry::File, true, "sub"},
        SearchCase{"LibraryBeforeEnvironment", Entry::None, Entry::File, Entry::File, true, "lib"},
        SearchCase{"EnvironmentLast", Entry::None, Entry::None, Entry::File, true, "env"},
        SearchCase{"DirectoryNamedKelvodSkipped", Entry::Directory, Entry::Directory, Entry::File, true, "env"},
        SearchCase{"SymlinkToFileCounts", Entry::Symlink, Entry::File, Entry::None, false, "sub"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ServerSearch, NothingFoundNamesTheExpectedDirectory) {
    ScopedTempDirectory root;
    const fs::path library = root.path() / "lib";
    Make(library, Entry::Directory);
    Make(root.path() / "env", Entry::Directory);
    for (const auto& environment : {std::optional<std::string>(), std::optional<std::string>((root.path() / "env").string()),
                                    std::optional<std::string>("")}) {
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
