// The server as a process: started with the library's command line, it calls back with its endpoint, serves, and stops
// cleanly when the callback connection closes (or SIGTERM comes); bad command lines and endpoints give distinct exit
// codes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "support/kelvod_server.h"
#include "support/wire_client.h"

using kelvotest::KelvodServer;
using kelvotest::WireClient;

TEST(KelvodProcess, CallsBackWithItsDomainSocketAndStopsWhenTheCallbackCloses) {
    KelvodServer server;
    // The spill directory of a server that is gone goes; that of one that runs (holds its lock) stays.
    const std::string gone = server.Directory() + "/kelvod_spill/server-1-gone", live = gone + "-not";
    std::filesystem::create_directories(gone), std::filesystem::create_directories(live);
    std::ofstream(gone + "/lock"), std::ofstream(live + "/lock");
    int lock = ::open((live + "/lock").c_str(), O_RDWR);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);
    ASSERT_TRUE(server.Start()) << server.Output();
    EXPECT_FALSE(std::filesystem::exists(gone));
    EXPECT_TRUE(std::filesystem::exists(live));
    ::close(lock);
    std::string prefix = "pel.domain://" + server.Directory() + "/domain/.s.PGSQL.";
    ASSERT_EQ(server.Endpoint().rfind(prefix, 0), 0u) << server.Endpoint();
    int port = std::stoi(server.Endpoint().substr(prefix.size()));
    EXPECT_TRUE(port >= 1 && port <= 65535) << port;
    std::string socketPath = server.Directory() + "/.s.PGSQL." + std::to_string(port);
    struct stat st {};
    ASSERT_EQ(::stat(socketPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(std::filesystem::exists(server.MainDatabase()));

    // A second server told to use this socket's name refuses instead of stealing it.
    EXPECT_EQ(KelvodServer::RunWithArguments({"--listen-connection", server.Endpoint(), "--callback-connection",
                                              "pel.domain://" + server.Directory() + "/domain/none", "run"}),
              3);
    // One session idle, one busy with a statement that would run for minutes, one streaming rows that would take
    // minutes (its chunks fetched ahead on a thread of their own).
    WireClient client, busy, streaming;
    ASSERT_EQ(client.Open(server.Endpoint()).status, 'I');
    ASSERT_EQ(busy.Open(server.Endpoint()).status, 'I');
    ASSERT_EQ(streaming.Open(server.Endpoint()).status, 'I');
    busy.SendMessage('Q', WireClient::Str("SELECT count(*) FROM range(3000000000) a, range(10) b"));
    streaming.SendMessage('Q', WireClient::Str("SELECT i, 'row ' || i FROM range(3000000000) r(i)"));
    for (int rows = 0; rows < 5000;) {
        char type = streaming.Read(5000).type;
        ASSERT_TRUE(type == 'T' || type == 'D') << type;
        rows += type == 'D';
    }
    // The FATAL error a session hears before it ends.
    auto fatalOf = [](WireClient& c) {
        for (auto m = c.Read(5000); m.type != 0; m = c.Read(5000))
            if (m.type == 'E' && m.body.find("SFATAL") != std::string::npos)
                return m.body;
        return std::string();
    };
    // It keeps reading while the server stops, so its session is never stuck sending.
    std::string streamingFatal;
    std::thread reader([&] { streamingFatal = fatalOf(streaming); });
    EXPECT_EQ(server.Stop(5000).value_or(-1), 0) << server.Output();
    EXPECT_FALSE(std::filesystem::exists(socketPath));
    reader.join();
    EXPECT_NE(streamingFatal.find("C57P01"), std::string::npos) << streamingFatal;
    // Each session hears why it ends (after the busy one's statement error), then closes.
    for (WireClient* c : {&client, &busy}) {
        const std::string fatal = fatalOf(*c);
        EXPECT_NE(fatal.find("C57P01"), std::string::npos) << fatal;
        EXPECT_TRUE(c->WaitClosed(2000)) << "a session outlived the server";
    }
}

// SIGTERM ends it as the end of its callback connection does: every session learns why (57P01) first.
TEST(KelvodProcess, ReadsRelativePathsIgnoresUnknownOptionsSurvivesAnUnreadOutputPipeAndEndsOnSigterm) {
    KelvodServer server;
    // The directory itself relative to where the server runs.
    std::string relative = std::filesystem::relative(server.Directory()).string();
    ASSERT_FALSE(relative.empty());
    // On TCP, with unknown options among the known ones, its output a pipe nobody reads.
    ASSERT_TRUE(server.Start({true,
                              {"--database=rel.kelvo", "--database-directory=" + relative, "--date-style=MDY",
                               "--log-config=file,json,all,kelvod,0", "--telemetry-opt-in=", "-x", "-5 = minus five",
                               "-y", "--some-unknown-option=a b=c", "--config=c.conf"},
                              true}));
    ASSERT_EQ(server.Endpoint().rfind("pel.tcp://127.0.0.1:", 0), 0u) << server.Endpoint();
    EXPECT_NE(server.Endpoint(), "pel.tcp://127.0.0.1:auto");
    EXPECT_TRUE(std::filesystem::exists(server.Directory() + "/rel.kelvo"));
    WireClient client;
    ASSERT_EQ(client.Open(server.Endpoint(), ":main").status, 'I') << server.Output();
    EXPECT_TRUE(client.Query("CREATE DATABASE \"other.kelvo\"").Ok());
    EXPECT_TRUE(std::filesystem::exists(server.Directory() + "/other.kelvo"));
    EXPECT_TRUE(client.Query("ATTACH DATABASE \"other.kelvo\" AS \"other\"").Ok());
    EXPECT_EQ(client.Query("SELECT 1").tags, std::vector<std::string>{"SELECT 1"});
    ASSERT_EQ(::kill(server.Pid(), SIGTERM), 0);
    kelvotest::WireMessage m = client.Read(5000);
    ASSERT_EQ(m.type, 'E');
    EXPECT_NE(m.body.find("57P01"), std::string::npos);
    EXPECT_TRUE(client.WaitClosed(5000));
    EXPECT_EQ(server.Stop().value_or(-1), 0);
}

TEST(KelvodProcess, ExitsWithDistinctCodesForBadArgumentsListenAndCallbackFailures) {
    std::string dir = kelvotest::MakeTempDirectory();
    const std::string cb = "pel.tcp://localhost:1", domain = "pel.domain://" + dir + "/domain/auto";
    std::ofstream(dir + "/notes.txt") << "keep";
    struct Case {
        const char* what;
        std::vector<std::string> args;
        int code;
    } cases[] = {
        {"no run", {"--listen-connection", "pel.tcp://localhost:auto", "--callback-connection", cb}, 2},
        {"no listen descriptor", {"--callback-connection", cb, "run"}, 2},
        {"malformed descriptor", {"--listen-connection", "localhost:80", "--callback-connection", cb, "run"}, 2},
        {"named pipe", {"--listen-connection", "pel.pipe://./pipe/auto", "--callback-connection", cb, "run"}, 3},
        {"missing socket directory",
         {"--listen-connection", "pel.domain://" + dir + "/nope/domain/auto", "--callback-connection", cb, "run"},
         3},
        {"main database in a missing directory",
         {"--database=" + dir + "/missing/main.kelvo", "--listen-connection", domain, "--callback-connection", cb,
          "run"},
         5},
        {"overwrite of a file that is not a database",
         {"--database=" + dir + "/notes.txt", "--init=overwrite", "--listen-connection", domain,
          "--callback-connection", cb, "run"},
         5},
        {"nobody calls back",
         {"--listen-connection", domain, "--callback-connection", "pel.domain://" + dir + "/domain/none", "run"},
         4},
    };
    for (const auto& c : cases)
        EXPECT_EQ(KelvodServer::RunWithArguments(c.args), c.code) << c.what;
    std::ifstream notes(dir + "/notes.txt");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(notes), {}), "keep");
    std::error_code ec;
    std::filesystem::remove(dir + "/notes.txt", ec);
    EXPECT_TRUE(std::filesystem::is_empty(dir, ec)) << "a failed start left a socket file behind";
    std::filesystem::remove_all(dir, ec);
}
