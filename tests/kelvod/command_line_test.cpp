// The server's command line and endpoint descriptors as the library writes them.
#include <gtest/gtest.h>

#include "kelvod/command_line.h"
#include "kelvod/endpoint.h"

using kelvod::CommandLine;
using kelvod::ParseCommandLine;

TEST(KelvodCommandLine, ReadsTheLibrarysArgumentsInEveryForm) {
    CommandLine cl = ParseCommandLine({"--database=/tmp/kelvo_db_x", "--date-style=MDY", "--init=overwrite",
                                       "--log-config=file,json,all,kelvod,0", "--telemetry-opt-in=", "-d", "-x",
                                       "-v", "--leading-dash", "-w", "a b=c", "--config=c.conf",
                                       "--listen-connection", "pel.domain:///tmp/domain/auto",
                                       "--callback-connection", "pel.tcp://[::1]:4000", "run"});
    const std::map<std::string, std::string> expected{
        {"database", "/tmp/kelvo_db_x"}, {"date_style", "MDY"},  {"init", "overwrite"},
        {"log_config", "file,json,all,kelvod,0"}, {"telemetry_opt_in", ""}, {"d", "-x"},
        {"v", ""}, {"leading_dash", ""}, {"w", "a b=c"}, {"config", "c.conf"}};
    EXPECT_EQ(cl.settings, expected);
    EXPECT_EQ(cl.listenConnection, "pel.domain:///tmp/domain/auto");
    EXPECT_EQ(cl.callbackConnection, "pel.tcp://[::1]:4000");
}

TEST(KelvodCommandLine, RefusesIncompleteCommandLines) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"--listen-connection", "pel.tcp://localhost:auto", "--callback-connection", "pel.tcp://localhost:1"},
        {"--callback-connection", "pel.tcp://localhost:1", "run"},
        {"--listen-connection", "pel.tcp://localhost:auto", "run"},
        {"--listen-connection", "pel.tcp://localhost:auto", "--callback-connection", "run"},
        {"stray", "--listen-connection", "L", "--callback-connection", "C", "run"},
    };
    for (const auto& args : bad) EXPECT_THROW(ParseCommandLine(args), kelvod::CommandLineError) << args.size();
}

TEST(KelvodEndpoint, ParsesAndPrintsDescriptors) {
    struct Case {
        const char* text;
        const char* printed;  // nullptr: refused
    } cases[] = {
        {"pel.tcp://localhost:auto", "pel.tcp://localhost:auto"},
        {"pel.tcp://::1:7483", "pel.tcp://[::1]:7483"},
        {"pel.tcp://[::1]:80", "pel.tcp://[::1]:80"},
        {"pel.tcp://:5000", "pel.tcp://:5000"},
        {"pel.domain:///tmp/domain/auto", "pel.domain:///tmp/domain/auto"},
        {"pel.domain:///tmp/domain/.s.PGSQL.8000", "pel.domain:///tmp/domain/.s.PGSQL.8000"},
        {"pel.pipe://auto", "pel.pipe://./pipe/auto"},
        {"pel.tcp://localhost", nullptr},
        {"pel.tcp://localhost:", nullptr},
        {"pel.tcp://localhost:-1", nullptr},
        {"pel.tcp://localhost:65536", nullptr},
        {"pel.tcp://localhost:0", nullptr},
        {"pel.domain:///tmp/domain/", nullptr},
        {"pel.domain:///tmp/x", nullptr},
        {"PEL.TCP://h:1", nullptr},
        {"localhost:80", nullptr},
        {"pel.pipe:///pipe/x", nullptr},
    };
    for (const auto& c : cases) {
        if (c.printed) EXPECT_EQ(kelvod::ParseEndpoint(c.text).ToString(), c.printed) << c.text;
        else EXPECT_THROW(kelvod::ParseEndpoint(c.text), std::invalid_argument) << c.text;
    }
}
