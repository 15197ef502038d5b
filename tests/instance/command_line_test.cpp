// The server's command line and the `use_tcp_port` setting.
#include "instance/command_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "error/error.h"
#include "instance/parameters.h"

namespace kelvoapi {
namespace {

using Strings = std::vector<std::string>;

const IPC_DomainSocketConnectionDescriptor kListen("/tmp", "auto");
const IPC_SocketConnectionDescriptor kCallback("localhost", 0);

// The arguments that close every command line.
Strings Tail() {
    return {"--listen-connection", "pel.domain:///tmp/domain/auto", "--callback-connection", "pel.tcp://localhost:auto",
            "run"};
}

Strings Concat(Strings head, const Strings& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// The ten instance defaults, with a fresh random database name in the
// temporary directory each time, deleted with the instance.
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
    EXPECT_EQ(arguments, Concat({"--database=" + database, "--date-style=MDY", "--date-style-lenient=false",
                                 "--init=overwrite", "--init-user=pellory_internal_user", "--language=en_US",
                                 "--log-config=file,json,all,kelvod,0", "--log-dir=" + cwd, "--no-password=true"},
                                Tail()));
    EXPECT_EQ(mainDatabasePath, std::filesystem::path(database));
}

struct ArgumentsCase {
    std::vector<std::pair<const char*, const char*>> entries;
    Strings expected;
};

TEST(CommandLineTest, TurnsEntriesIntoArguments) {
    const ArgumentsCase cases[] = {
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
        {{{"config", "c.conf"}, {"z", "1"}, {"a_option", "2"}}, {"--a-option=2", "-z", "1", "--config=c.conf"}},
    };
    for (const ArgumentsCase& c : cases) {
        Parameters parameters;
        for (const auto& [name, value] : c.entries)
            parameters.Set(name, value);
        EXPECT_EQ(GenerateKelvoCommandLineArguments(kCallback, kListen, parameters).first, Concat(c.expected, Tail()))
            << (c.entries.empty() ? "" : c.entries.front().first);
    }
}

TEST(CommandLineTest, RefusesEntriesTheServerWouldReadOtherwise) {
    for (const auto& [name, value] : {std::pair<const char*, const char*>{"d", "--init=overwrite"}, {"a=b", "c"}}) {
        Parameters parameters;
        parameters.Set(name, value);
        try {
            GenerateKelvoCommandLineArguments(kCallback, kListen, parameters);
            ADD_FAILURE() << name << " written";
        } catch (const Error& e) {
            EXPECT_EQ(e.GetSqlstate(), "22023") << name;
        }
    }
}

TEST(CommandLineTest, ReadsUseTcpPort) {
    const std::pair<const char*, std::pair<bool, uint16_t>> accepted[] = {
        {nullptr, {false, 0}}, {"", {false, 0}},         {"off", {false, 0}}, {"auto", {true, 0}},
        {"1", {true, 1}},      {"65535", {true, 65535}}, {" 80", {true, 80}}, {"80abc", {true, 80}},
    };
    for (const auto& [value, expected] : accepted) {
        Parameters parameters;
        if (value)
            parameters.Set("use_tcp_port", value);
        EXPECT_EQ(GetUseTcpValue(parameters), expected) << (value ? value : "(absent)");
    }

    const char* refused[] = {"0", "65536", "-1", "Auto", "4294967377"};
    for (const char* value : refused) {
        Parameters parameters;
        parameters.Set("use_tcp_port", value);
        try {
            GetUseTcpValue(parameters);
            ADD_FAILURE() << value << " accepted";
        } catch (const Error& e) {
            EXPECT_EQ(e.GetSqlstate(), "22023") << value;
            EXPECT_EQ(e.GetMessage(), "Parameter `use_tcp_port` is set to an invalid value.");
            EXPECT_EQ(
                e.GetHint(),
                "Specify `auto` for Kelvo to pick an ephemeral port or specify a port number between 1 and 65535.");
            EXPECT_EQ(e.GetContextId().value, 0x1d669fd7u);
        }
    }
}

}  // namespace
}  // namespace kelvoapi
