// What comes before and after the server process itself: finding the server
// file, the processor it needs, and the capture of its output.
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <tuple>

#include "instance/cpu_check.h"
#include "instance/pipe_driver.h"
#include "instance/server_location.h"
#include "support/scoped_temp_directory.h"
#include "support/thrown_error.h"

namespace {

namespace fs = std::filesystem;
using kelvotest::ScopedTempDirectory;
using kelvotest::Thrown;

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
    // What stands in <lib>/kelvo, <lib>, KELVO_PATH ('-' for nothing); where the server is found.
    const std::tuple<const char*, bool, const char*> cases[] = {
        {"fff", true, "sub"},  {"-ff", true, "lib"},
        {"--f", true, "env"},  {"ddf", true, "env"},  // a directory named kelvod is skipped
        {"lf-", false, "sub"},
    };
    for (const auto& [entries, kelvoPathSet, expected] : cases) {
        SCOPED_TRACE(entries);
        ScopedTempDirectory root;
        const fs::path library = root.path() / "lib", environment = root.path() / "elsewhere";
        const fs::path realFile = root.path() / "real-kelvod";
        std::ofstream(realFile) << "server";
        Make(library / "kelvo", entries[0], realFile);
        Make(library, entries[1], realFile);
        Make(environment, entries[2], realFile);
        const fs::path found = kelvoapi::FindKelvoDirectoryFrom(
            library, kelvoPathSet ? std::optional<std::string>(environment.string()) : std::nullopt);
        EXPECT_EQ(found, expected == std::string("sub")   ? library / "kelvo"
                         : expected == std::string("lib") ? library
                                                          : environment);
    }

    // Nothing found names the expected directory.
    ScopedTempDirectory root;
    const fs::path library = root.path() / "lib";
    Make(library, 'd', {});
    for (const auto& environment : {std::optional<std::string>(), std::optional<std::string>("")})
        EXPECT_EQ(Thrown([&] { kelvoapi::FindKelvoDirectoryFrom(library, environment); }),
                  "58P01 0x55c7d260 Could not auto-detect Kelvo binary: Kelvo binary is not in the expected "
                  "directory " +
                      (library / "kelvo").string() +
                      " | Explicitly specify the path to the directory containing the Kelvo binary in the "
                      "KelvoProcess constructor.");
}

TEST(CpuCheck, EveryRequiredBitMustBeSet) {
    EXPECT_NO_THROW(kelvoapi::CheckProcessor(0x980201));
    EXPECT_NO_THROW(kelvoapi::CheckProcessor());  // this machine
    // SSE3, SSSE3, SSE4.1, SSE4.2, POPCNT.
    for (const uint32_t bit : {0u, 9u, 19u, 20u, 23u})
        EXPECT_EQ(Thrown([&] { kelvoapi::CheckProcessor(0xffffffffu & ~(1u << bit)); }),
                  "58000 0xf4c5532 The Kelvo API requires a processor that supports SSE4.2, SSE4.1, SSSE3, SSE3 and "
                  "POPCNT instructions.")
            << bit;
}

TEST(Capture, AWriterThatKeepsThePipeOpenDoesNotStallTheFlush) {
    // The sink stays open, as when a grandchild inherited it: the flush
    // gives up waiting for the end of the stream and keeps everything
    // written before it, whether or not the reader had taken it yet.
    for (const int drainMs : {0, 200}) {
        std::optional<kelvoapi::PipeDriver> driver;
        driver.emplace();
        for (const std::string piece : {"still ", "here"})
            ASSERT_EQ(::write(driver->StdOutPipe().native_sink(), piece.data(), piece.size()), ssize_t(piece.size()));
        EXPECT_EQ(kelvoapi::PipeDriver::flushPipeOutput(driver, std::chrono::milliseconds(drainMs)),
                  "Child process' stdout:\nstill here\n")
            << drainMs;
    }
}

}  // namespace
