// Instance parameters, the server's command line made from them, finding the server file, the processor it needs, and
// the capture of its output.
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "instance/command_line.h"
#include "instance/cpu_check.h"
#include "instance/parameters.h"
#include "instance/pipe_driver.h"
#include "instance/random_string.h"
#include "instance/server_location.h"
#include "support/scoped_temp_directory.h"
#include "support/thrown_error.h"

namespace kelvoapi {
namespace {

using kelvotest::Thrown;
using Strings = std::vector<std::string>;

TEST(ParametersTest, RefusesInvalidNamesAndValuesAndKeepsTheSet) {
    const std::tuple<const char*, const char*, std::string> cases[] = {
        {"date_stylE", "x",
         "42602 0xcab17a1b Invalid parameter name: date_stylE, capital letters are not allowed in parameter names."},
        // The minus check comes first.
        {"Date-Style", "x",
         "42602 0xa753838f Invalid parameter name: Date-Style, minus '-' is not allowed in parameter names."},
        {"log_config", "file",
         "22023 0xca4566 Only the empty string is supported as value for the \"log_config\" parameter."},
        {"endpoint", "localhost:80",
         "HY000 0x53788 Invalid connection string \"localhost:80\". The connection string must be of the form "
         "\"<scheme>://<rest>\"."},
        {"endpoint", "pel.tcp://h:70000", "HY000 0x53788 Port must not be greater than 65535"}};
    for (const auto& [name, value, error] : cases) {
        Parameters parameters;
        parameters.Set("log_config", "");
        const std::vector<std::pair<const std::string, std::string>> before(parameters.begin(), parameters.end());
        EXPECT_EQ(Thrown([&, name = name, value = value] { parameters.Set(name, value); }), error);
        EXPECT_TRUE(std::equal(before.begin(), before.end(), parameters.begin(), parameters.end())) << name;
    }
}

TEST(ParametersTest, RandomNamesDrawEveryCharacterOfTheAlphabet) {
    const std::string text = GenerateRandomPrintableString(62 * 200);
    // Missing one of 62 characters in 12400 uniform draws has a probability below 1e-40.
    EXPECT_EQ(std::set<char>(text.begin(), text.end()).size(), 62u);
    EXPECT_TRUE(std::regex_match(text, std::regex("[a-zA-Z0-9]*")));
}

const IPC_DomainSocketConnectionDescriptor kListen("/tmp", "auto");
const IPC_SocketConnectionDescriptor kCallback("localhost", 0);

// The arguments given, followed by those that close every command line.
Strings WithTail(Strings head) {
    for (const char* tail : {"--listen-connection", "pel.domain:///tmp/domain/auto", "--callback-connection",
                             "pel.tcp://localhost:auto", "run"})
        head.push_back(tail);
    return head;
}

// The ten instance defaults, with a fresh random database name in the temporary directory each time, deleted with the
// instance.
TEST(CommandLineTest, InstanceDefaultsBecomeServerOptions) {
    const InstanceParameters empty(false);
    EXPECT_EQ(empty.begin(), empty.end());
    const InstanceParameters parameters(true);
    const std::string database(parameters.Get("database"));
    EXPECT_EQ(std::distance(parameters.begin(), parameters.end()), 10);
    EXPECT_EQ(parameters.Get("auto_delete_database"), "true");
    const std::filesystem::path path(database);
    EXPECT_EQ(database, (std::filesystem::temp_directory_path() / path.filename()).string());
    EXPECT_TRUE(std::regex_match(path.filename().string(), std::regex("kelvo_db_[a-zA-Z0-9]{8}"))) << path;
    EXPECT_NE(InstanceParameters(true).Get("database"), parameters.Get("database"));
    const std::string cwd = std::filesystem::current_path().string();
    auto [arguments, mainDatabasePath] = GenerateKelvoCommandLineArguments(kCallback, kListen, parameters);
    EXPECT_EQ(arguments, WithTail({"--database=" + database, "--date-style=MDY", "--date-style-lenient=false",
                                   "--init=overwrite", "--init-user=pellory_internal_user", "--language=en_US",
                                   "--log-config=file,json,all,kelvod,0", "--log-dir=" + cwd, "--no-password=true"}));
    EXPECT_EQ(mainDatabasePath, std::filesystem::path(database));
}

TEST(CommandLineTest, TurnsEntriesIntoArguments) {
    const std::pair<std::vector<std::pair<const char*, const char*>>, Strings> cases[] = {
        {{{"d", "x"}}, {"-d", "x"}},
        {{{"d", ""}, {"e", "-v"}}, {"-d", "", "-e", "-v"}},
        {{{"telemetry_opt_in", ""}}, {"--telemetry-opt-in="}},
        {{{"a_b_c", "x=y"}}, {"--a-b-c=x=y"}},
        // Names the server never sees.
        {{{"", "x"},
          {"auto_delete_database", "true"},
          {"capture_output_streams", ""},
          {"domain_socket_dir", "/d"},
          {"use_tcp_port", "auto"},
          {"listen_connection", "pel.tcp://h:1"},
          {"callback_connection", "pel.tcp://h:2"}},
         {}},
        // config comes after every other option, whatever its place in name order.
        {{{"config", "c.conf"}, {"z", "1"}, {"a_option", "2"}}, {"--a-option=2", "-z", "1", "--config=c.conf"}}};
    for (const auto& [entries, expected] : cases) {
        Parameters parameters;
        for (const auto& [name, value] : entries)
            parameters.Set(name, value);
        EXPECT_EQ(GenerateKelvoCommandLineArguments(kCallback, kListen, parameters).first, WithTail(expected))
            << entries.front().first;
    }

    // Entries the server would read otherwise are refused.
    const std::pair<std::pair<const char*, const char*>, const char*> refused[] = {
        {{"d", "--init=overwrite"}, "its value begins with \"--\""}, {{"a=b", "c"}, "its name holds '='"}};
    for (const auto& [entry, why] : refused) {
        Parameters parameters;
        parameters.Set(entry.first, entry.second);
        EXPECT_EQ(Thrown([&] { GenerateKelvoCommandLineArguments(kCallback, kListen, parameters); }),
                  "22023 0x5be2a9c4 Parameter `" + std::string(entry.first) +
                      "` cannot be passed to the server: " + why + ".");
    }
}

TEST(CommandLineTest, ReadsUseTcpPort) {
    const std::pair<const char*, std::pair<bool, uint16_t>> accepted[] = {
        {nullptr, {false, 0}}, {"", {false, 0}},         {"off", {false, 0}}, {"auto", {true, 0}},
        {"1", {true, 1}},      {"65535", {true, 65535}}, {" 80", {true, 80}}, {"80abc", {true, 80}}};
    for (const auto& [value, expected] : accepted) {
        Parameters parameters;
        if (value)
            parameters.Set("use_tcp_port", value);
        EXPECT_EQ(GetUseTcpValue(parameters), expected) << (value ? value : "(absent)");
    }
    for (const char* value : {"0", "65536", "-1", "Auto", "4294967377"}) {
        Parameters parameters;
        parameters.Set("use_tcp_port", value);
        EXPECT_EQ(Thrown([&] { GetUseTcpValue(parameters); }),
                  "22023 0x1d669fd7 Parameter `use_tcp_port` is set to an invalid value. | Specify `auto` for Kelvo to "
                  "pick an ephemeral port or specify a port number between 1 and 65535.")
            << value;
    }
}

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
        const fs::path found = FindKelvoDirectoryFrom(
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
        EXPECT_EQ(Thrown([&] { FindKelvoDirectoryFrom(library, environment); }),
                  "58P01 0x55c7d260 Could not auto-detect Kelvo binary: Kelvo binary is not in the expected "
                  "directory " +
                      (library / "kelvo").string() +
                      " | Explicitly specify the path to the directory containing the Kelvo binary in the "
                      "KelvoProcess constructor.");
}

TEST(CpuCheck, EveryRequiredBitMustBeSet) {
    EXPECT_NO_THROW(CheckProcessor(0x980201));
    EXPECT_NO_THROW(CheckProcessor());  // this machine
    // SSE3, SSSE3, SSE4.1, SSE4.2, POPCNT.
    for (const uint32_t bit : {0u, 9u, 19u, 20u, 23u})
        EXPECT_EQ(Thrown([&] { CheckProcessor(0xffffffffu & ~(1u << bit)); }),
                  "58000 0xf4c5532 The Kelvo API requires a processor that supports SSE4.2, SSE4.1, SSSE3, SSE3 and "
                  "POPCNT instructions.")
            << bit;
}

TEST(Capture, AWriterThatKeepsThePipeOpenDoesNotStallTheFlush) {
    // The sink stays open, as when a grandchild inherited it: the flush gives up waiting for the end of the stream and
    // keeps everything written before it, whether or not the reader had taken it yet.
    for (const int drainMs : {0, 200}) {
        std::optional<PipeDriver> driver;
        driver.emplace();
        for (const std::string piece : {"still ", "here"})
            ASSERT_EQ(::write(driver->StdOutPipe().native_sink(), piece.data(), piece.size()), ssize_t(piece.size()));
        EXPECT_EQ(PipeDriver::flushPipeOutput(driver, std::chrono::milliseconds(drainMs)),
                  "Child process' stdout:\nstill here\n")
            << drainMs;
    }
}

}  // namespace
}  // namespace kelvoapi
