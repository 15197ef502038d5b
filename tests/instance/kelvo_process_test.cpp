// Starting and stopping servers: every start-up and shut-down path, driven
// through the fake server.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <netinet/in.h>

#include <chrono>
#include <regex>
#include <thread>

#include "instance/fake_server.h"
#include "instance/kelvo_process.h"
#include "support/scoped_temp_directory.h"

namespace {

namespace fs = std::filesystem;
using namespace kelvotest;

// The start-up limit is shortened for the cases that wait for it.
class ShortStartupLimit {
public:
    explicit ShortStartupLimit(std::chrono::milliseconds limit) { kelvoapi::SetStartupTimeLimitForTesting(limit); }
    ~ShortStartupLimit() { kelvoapi::SetStartupTimeLimitForTesting(std::chrono::nanoseconds(0)); }
};

std::string Joined(const std::vector<std::string>& parts) {
    std::string text;
    for (const auto& part : parts)
        text += (text.empty() ? "" : " ") + part;
    return text;
}

std::string Pattern(size_t size, char first) {
    std::string text;
    for (size_t i = 0; i < size; ++i)
        text += static_cast<char>(first + i % 26);
    return text;
}

void ExpectStartFailure(const kelvoapi::Error& error) {
    EXPECT_EQ(error.GetSqlstate(), "58000");
    EXPECT_EQ(error.GetMessage(), "Failed to start a new Kelvo instance.");
    EXPECT_EQ(error.GetContextId().value, 0x86a93465u);
    ASSERT_NE(error.GetCause(), nullptr);
}

struct StartFailureCase {
    const char* name;
    std::map<std::string, std::string> entries;
    const char* sqlstate;
    uint32_t contextId;
    // The first line; "%pid%" stands for the server's process id.
    std::string firstLine;
    std::string output;
    // Short only where the case waits for it: a server that exits must be
    // seen exiting however slow the machine is.
    std::chrono::milliseconds startupLimit = std::chrono::seconds(20);
};

class StartFailure : public ::testing::TestWithParam<StartFailureCase> {};

TEST_P(StartFailure, ReportsWhyWithTheCommandLineAndTheOutput) {
    const StartFailureCase& c = GetParam();
    ShortStartupLimit limit(c.startupLimit);
    ScopedTempDirectory directory;
    const fs::path report = directory.path() / "report";
    auto entries = c.entries;
    entries["fake_report"] = report.string();
    entries["domain_socket_dir"] = directory.path().string();
    StartResult result = Start(entries);
    ASSERT_NE(result.error, nullptr);
    const kelvoapi::Error& error = AsError(result.error);
    ExpectStartFailure(error);
    const kelvoapi::Error& cause = *error.GetCause();
    EXPECT_EQ(cause.GetSqlstate(), c.sqlstate);
    EXPECT_EQ(cause.GetContextId().value, c.contextId);

    const std::string command = Joined(ReportLines(report, "arg"));
    std::string firstLine = c.firstLine;
    const std::string message = cause.GetMessage();
    if (const auto at = firstLine.find("%pid%"); at != std::string::npos) {
        const auto pidStart = at;
        const auto pidEnd = message.find('\n');
        ASSERT_NE(pidEnd, std::string::npos);
        firstLine.replace(at, 5, message.substr(pidStart, pidEnd - pidStart));
    }
    EXPECT_EQ(message, firstLine + "\nCommand-line: \"" + command + "\"\n" + c.output);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, StartFailure,
    ::testing::Values(
        StartFailureCase{"ExitsWithACode", {{"fake_mode", "exit"}, {"fake_exit_code", "3"}}, "HY000", 0x13cead20,
                         "The Kelvo server process exited during startup with exit code: 3",
                         "Child process' stderr:\nfake kelvod exits with 3\n\n"},
        StartFailureCase{"ExitsSilently", {{"fake_mode", "silent-exit"}, {"fake_exit_code", "4"}}, "HY000", 0x13cead20,
                         "The Kelvo server process exited during startup with exit code: 4", ""},
        StartFailureCase{"Crashes", {{"fake_mode", "crash"}}, "HY000", 0x13cead20,
                         "The Kelvo server process exited during startup with exit code: 9", ""},
        StartFailureCase{"WritesOnlyToStderr", {{"fake_mode", "stderr-only"}, {"fake_exit_code", "3"}}, "HY000",
                         0x13cead20, "The Kelvo server process exited during startup with exit code: 3",
                         "Child process' stderr:\nonly on stderr\n"},
        StartFailureCase{"FloodsBothStreams", {{"fake_mode", "flood"}, {"fake_exit_code", "3"}}, "HY000", 0x13cead20,
                         "The Kelvo server process exited during startup with exit code: 3",
                         "Child process' stdout:\n" + Pattern(20000, 'a').substr(20000 - 16384) +
                             "\nChild process' stderr:\n" + Pattern(20000, 'A').substr(20000 - 16384) + "\n"},
        StartFailureCase{"OutputNotCaptured",
                         {{"fake_mode", "silent-exit"}, {"fake_exit_code", "3"}, {"capture_output_streams", "false"}},
                         "HY000", 0x13cead20, "The Kelvo server process exited during startup with exit code: 3",
                         "Child process' output was not captured."},
        StartFailureCase{"SendsAPartialMessageAndExits", {{"fake_mode", "partial"}, {"fake_exit_code", "5"}}, "HY000",
                         0x13cead20, "The Kelvo server process exited during startup with exit code: 5", ""},
        StartFailureCase{"NeverCallsBack", {{"fake_mode", "no-callback"}}, "08001", 0xf6603a71,
                         "The Kelvo server did not call back on the callback connection: process id: %pid%", "",
                         std::chrono::milliseconds(700)},
        StartFailureCase{"ConnectsAndStaysSilent", {{"fake_mode", "silent"}}, "08001", 0xf6603a71,
                         "The Kelvo server did not call back on the callback connection: process id: %pid%", "",
                         std::chrono::milliseconds(700)},
        StartFailureCase{"SendsAMalformedMessage", {{"fake_mode", "malformed"}}, "08001", 0xf6603a71,
                         "The Kelvo server did not call back on the callback connection: process id: %pid%", "",
                         std::chrono::milliseconds(700)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StartFailure, BadSetUpIsReportedAsTheCause) {
    ScopedTempDirectory empty;
    ScopedTempDirectory notExecutable;
    std::ofstream(notExecutable.path() / "kelvod") << "#!/bin/sh\n";
    ::chmod((notExecutable.path() / "kelvod").c_str(), 0644);
    struct Case {
        const char* name;
        std::string directory;
        std::map<std::string, std::string> entries;
        const char* sqlstate;
        uint32_t contextId;
        std::string message;
    };
    const Case cases[] = {
        {"MissingExecutable", empty.path().string(), {}, "58P01", 0x0aae87b1,
         "The Kelvo executable \"" + (empty.path() / "kelvod").string() + "\" does not exist."},
        {"NotExecutable", notExecutable.path().string(), {}, "", 0xeee3fd70,
         "Could not spawn the Kelvo server process " + (notExecutable.path() / "kelvod").string() + "."},
        {"BadCallbackDescriptor", kFakeServerDirectory, {{"callback_connection", "nonsense"}}, "22023", 0xa27dd27e, ""},
        {"BadListenDescriptor", kFakeServerDirectory, {{"listen_connection", "pel.tcp://"}}, "22023", 0xa27dd27e, ""},
        {"BadTcpPort", kFakeServerDirectory, {{"use_tcp_port", "70000"}}, "22023", 0x1d669fd7,
         "Parameter `use_tcp_port` is set to an invalid value."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartResult result = Start(c.entries, c.directory);
        ASSERT_NE(result.error, nullptr);
        ExpectStartFailure(AsError(result.error));
        const kelvoapi::Error& cause = *AsError(result.error).GetCause();
        if (*c.sqlstate) {
            EXPECT_EQ(cause.GetSqlstate(), c.sqlstate);
        }
        EXPECT_EQ(cause.GetContextId().value, c.contextId);
        if (!c.message.empty()) {
            EXPECT_EQ(cause.GetMessage(), c.message);
        }
        if (std::string(c.name) == "NotExecutable") {
            EXPECT_EQ(cause.GetHint(), "Make sure the Kelvo executable exists and has execution permissions.");
            EXPECT_NE(cause.GetCause(), nullptr);
            // The child whose exec failed left no zombie behind.
            pid_t zombie = 0;
            for (int attempt = 0; attempt < 50 && zombie <= 0; ++attempt) {
                zombie = ::waitpid(-1, nullptr, WNOHANG);
                if (zombie <= 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            EXPECT_LE(zombie, 0);
        }
    }
}

// The output goes into the first error that reports it; a later one says
// it is gone rather than repeating it.
TEST(StartFailure, OutputIsReportedOnce) {
    kelvoapi::KelvoProcess process(kFakeServerDirectory);
    ParametersPtr parameters = MakeParameters({{"fake_mode", "exit"}, {"fake_exit_code", "3"}});
    try {
        process.Start(*static_cast<const kelvoapi::Parameters*>(parameters.get()));
        FAIL() << "no error";
    } catch (const kelvoapi::Error& e) {
        EXPECT_NE(e.GetMessage().find("Child process' stderr:\nfake kelvod exits with 3\n"), std::string::npos)
            << e.GetMessage();
    }
    try {
        process.Shutdown(std::chrono::milliseconds(10000));
        FAIL() << "no error";
    } catch (const kelvoapi::Error& e) {
        EXPECT_EQ(e.GetMessage(), "The Kelvo server terminated with exit code 3.\nChild process' output was not captured.");
    }
}

TEST(ServerStart, TheServerSeesItsCommandLineAndNothingElse) {
    ScopedTempDirectory directory;
    const fs::path report = directory.path() / "report";
    StartResult result =
        Start({{"fake_mode", "serve"}, {"fake_report", report.string()}, {"domain_socket_dir", directory.path().string()}});
    ASSERT_EQ(result.error, nullptr) << kelvoapi::ToString(AsError(result.error));
    const std::vector<std::string> argv = ReportLines(report, "arg");
    ASSERT_EQ(argv.size(), 8u);
    EXPECT_EQ(argv[0], (fs::path(kFakeServerDirectory) / "kelvod").string());
    EXPECT_EQ(argv[1], "--fake-mode=serve");
    EXPECT_EQ(argv[2], "--fake-report=" + report.string());
    EXPECT_EQ(argv[3], "--listen-connection");
    EXPECT_EQ(argv[4], "pel.domain://" + directory.path().string() + "/domain/auto");
    EXPECT_EQ(argv[5], "--callback-connection");
    EXPECT_TRUE(std::regex_match(argv[6], std::regex("pel\\.domain://" + directory.path().string() +
                                                     "/domain/[0-9a-f]{32}")))
        << argv[6];
    EXPECT_EQ(argv[7], "run");
    // Only standard output and error reach the server; standard input is closed.
    EXPECT_EQ(ReportLines(report, "fd"), (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(ReportLines(report, "pgid-is-pid"), std::vector<std::string>{"yes"});
    EXPECT_EQ(ReportLines(report, "stdin"), std::vector<std::string>{"closed"});

    const std::string endpoint = kelvo_instance_get_endpoint_descriptor(result.instance.get());
    EXPECT_TRUE(std::regex_match(endpoint, std::regex("pel\\.domain://" + directory.path().string() + "/domain/[0-9]+")))
        << endpoint;
    int code = -12345;
    EXPECT_FALSE(kelvo_instance_get_exit_code(result.instance.get(), &code));
    EXPECT_EQ(code, -12345);
    EXPECT_EQ(ErrorPtr(kelvo_instance_shutdown(result.instance.release(), -1)), nullptr);
}

// A port held on every address for the length of a test, so that nothing
// else (the callback listener's ephemeral port least of all) can take it.
struct HeldTcpPort {
    HeldTcpPort() {
        fd = ::socket(AF_INET6, SOCK_STREAM, 0);
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_any;
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        socklen_t length = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin6_port);
    }
    ~HeldTcpPort() { ::close(fd); }
    int fd = -1;
    uint16_t port = 0;
};

TEST(ServerStart, TcpEndpoints) {
    const HeldTcpPort held;
    const std::string fixed = std::to_string(held.port);
    for (const std::string& port : {std::string("auto"), fixed}) {
        SCOPED_TRACE(port);
        ScopedTempDirectory directory;
        const fs::path report = directory.path() / "report";
        StartResult result = Start({{"fake_mode", "serve"}, {"fake_report", report.string()}, {"use_tcp_port", port}});
        ASSERT_EQ(result.error, nullptr) << kelvoapi::ToString(AsError(result.error));
        const std::vector<std::string> argv = ReportLines(report, "arg");
        ASSERT_EQ(argv.size(), 8u);
        EXPECT_EQ(argv[4], "pel.tcp://localhost:" + port);
        // The call-back takes a port of its own, never the server's.
        std::smatch match;
        ASSERT_TRUE(std::regex_match(argv[6], match, std::regex("pel\\.tcp://(\\[::1\\]|127\\.0\\.0\\.1):([0-9]+)")))
            << argv[6];
        EXPECT_NE(match[2].str(), "0");
        EXPECT_NE(match[2].str(), fixed);
        const std::string endpoint = kelvo_instance_get_endpoint_descriptor(result.instance.get());
        EXPECT_EQ(endpoint.rfind("pel.tcp://localhost:", 0), 0u) << endpoint;
    }
}

TEST(ServerStart, SlowCallBackAndRelativeSocketDirectory) {
    // Work from a short directory: a socket path must fit in 108 bytes, and the
    // build directory may lie deep in the file system.
    ScopedTempDirectory directory;
    const fs::path previous = fs::current_path();
    fs::current_path(directory.path());
    const fs::path relative = "sockets";
    fs::create_directory(relative);
    StartResult result = Start({{"fake_mode", "slow"}, {"domain_socket_dir", relative.string()}});
    const std::string absolute = fs::absolute(relative).string();
    fs::current_path(previous);
    ASSERT_EQ(result.error, nullptr) << kelvoapi::ToString(AsError(result.error));
    const std::string endpoint = kelvo_instance_get_endpoint_descriptor(result.instance.get());
    EXPECT_EQ(endpoint.rfind("pel.domain://" + absolute + "/domain/", 0), 0u) << endpoint;
    result.instance.reset();
}

TEST(ServerStart, TelemetryOptInOnlyForExactlyOne) {
    for (const int telemetry : {0, 1, 2}) {
        ScopedTempDirectory directory;
        const fs::path report = directory.path() / "report";
        StartResult result =
            Start({{"fake_mode", "serve"}, {"fake_report", report.string()}}, kFakeServerDirectory, telemetry);
        ASSERT_EQ(result.error, nullptr);
        const auto argv = ReportLines(report, "arg");
        EXPECT_EQ(std::count(argv.begin(), argv.end(), "--telemetry-opt-in="), telemetry == 1 ? 1 : 0) << telemetry;
    }
}

TEST(ServerStart, EmptyPathSearchesForTheServer) {
    ::setenv("KELVO_PATH", kFakeServerDirectory.c_str(), 1);
    ParametersPtr parameters = MakeParameters({{"fake_mode", "serve"}});
    kelvo_instance_t* instance = nullptr;
    ErrorPtr error(kelvo_instance_create("", KELVO_DISABLE_TELEMETRY, parameters.get(), &instance));
    ::unsetenv("KELVO_PATH");
    ASSERT_EQ(error, nullptr) << kelvoapi::ToString(AsError(error));
    kelvo_instance_close(instance);
}

struct ShutdownCase {
    const char* name;
    std::map<std::string, std::string> entries;
    int timeoutMs;
    const char* sqlstate;  // "" for success
    uint32_t contextId;
    std::string message;
    int exitCodeCause;  // -1 for none
};

class Shutdown : public ::testing::TestWithParam<ShutdownCase> {};

TEST_P(Shutdown, ReportsALateOrFailedExit) {
    const ShutdownCase& c = GetParam();
    StartResult result = Start(c.entries);
    ASSERT_EQ(result.error, nullptr) << kelvoapi::ToString(AsError(result.error));
    const pid_t pid = ServerPid(result.instance.get());
    ErrorPtr error(kelvo_instance_shutdown(result.instance.release(), c.timeoutMs));
    EXPECT_TRUE(ProcessGone(pid));
    if (*c.sqlstate == '\0') {
        EXPECT_EQ(error, nullptr) << kelvoapi::ToString(AsError(error));
        return;
    }
    ASSERT_NE(error, nullptr);
    const kelvoapi::Error& e = AsError(error);
    EXPECT_EQ(e.GetSqlstate(), c.sqlstate);
    EXPECT_EQ(e.GetContextId().value, c.contextId);
    EXPECT_EQ(e.GetMessage(), c.message);
    if (c.exitCodeCause >= 0) {
        ASSERT_NE(e.GetCause(), nullptr);
        EXPECT_EQ(e.GetCause()->GetCode(), std::error_code(c.exitCodeCause, kelvoapi::process_exit_code_category()));
        EXPECT_EQ(e.GetCause()->GetContextId().value, 0x00748efau);
        EXPECT_EQ(e.GetCause()->GetMessage(), "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, Shutdown,
    ::testing::Values(
        ShutdownCase{"CleanExit", {{"fake_mode", "serve"}}, 10000, "", 0, "", -1},
        ShutdownCase{"CleanExitUnbounded", {{"fake_mode", "serve"}}, -1, "", 0, "", -1},
        ShutdownCase{"ExitCodeReported", {{"fake_mode", "serve"}, {"fake_exit_code", "7"}}, 10000, "HY000", 0x00255a28,
                     "The Kelvo server terminated with exit code 7.\nChild process' stderr:\nfake kelvod stops with 7\n\n", 7},
        ShutdownCase{"ExitCodeNotCaptured",
                     {{"fake_mode", "serve"}, {"fake_exit_code", "7"}, {"capture_output_streams", ""}}, 10000, "HY000",
                     0x00255a28, "The Kelvo server terminated with exit code 7.\nChild process' output was not captured.",
                     7},
        ShutdownCase{"KillNowReportsNothing", {{"fake_mode", "serve"}, {"fake_exit_code", "7"}}, 0, "", 0, "", -1},
        ShutdownCase{"IgnoredCloseTimesOut", {{"fake_mode", "ignore-close"}}, 1000, "HYT00", 0x000150ff,
                     "The Kelvo process took longer than 1000 milliseconds to shut down, and was terminated "
                     "forcefully.\n",
                     -1},
        ShutdownCase{"IgnoredCloseKilledNow", {{"fake_mode", "ignore-close"}}, 0, "", 0, "", -1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ServerLifetime, CloseKillsAServerThatIgnoresTheClose) {
    StartResult result = Start({{"fake_mode", "ignore-close"}});
    ASSERT_EQ(result.error, nullptr);
    const pid_t pid = ServerPid(result.instance.get());
    const auto start = std::chrono::steady_clock::now();
    result.instance.reset();
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4900));
    EXPECT_TRUE(ProcessGone(pid));
}

TEST(ServerLifetime, ExitCodeOfAServerKilledBySignal) {
    StartResult result = Start({{"fake_mode", "serve"}});
    ASSERT_EQ(result.error, nullptr);
    ::kill(ServerPid(result.instance.get()), SIGKILL);
    int code = -1;
    for (int attempt = 0; attempt < 500 && !kelvo_instance_get_exit_code(result.instance.get(), &code); ++attempt)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(code, 9);
    // Asking again gives the same answer.
    code = -1;
    EXPECT_TRUE(kelvo_instance_get_exit_code(result.instance.get(), &code));
    EXPECT_EQ(code, 9);
    ErrorPtr error(kelvo_instance_shutdown(result.instance.release(), 1000));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(AsError(error).GetMessage().rfind("The Kelvo server terminated with exit code 9.\n", 0), 0u);
}

TEST(ServerLifetime, GrandchildIsGoneAfterRelease) {
    for (const int timeoutMs : {10000, 0}) {
        ScopedTempDirectory directory;
        const fs::path report = directory.path() / "report";
        StartResult result = Start({{"fake_mode", "grandchild"}, {"fake_report", report.string()}});
        ASSERT_EQ(result.error, nullptr);
        pid_t grandchild = 0;
        for (int attempt = 0; attempt < 500 && grandchild == 0; ++attempt) {
            std::ifstream(report.string() + ".grandchild") >> grandchild;
            if (grandchild == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_NE(grandchild, 0);
        EXPECT_FALSE(ProcessGone(grandchild));
        ErrorPtr(kelvo_instance_shutdown(result.instance.release(), timeoutMs));
        bool gone = false;
        for (int attempt = 0; attempt < 200 && !(gone = ProcessGone(grandchild)); ++attempt)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_TRUE(gone) << timeoutMs;
    }
}

// Runs the fake server from a plain fork and exec, as an application might,
// and returns the descriptors it found open.
std::vector<std::string> DescriptorsOfAForkedProgram() {
    ScopedTempDirectory directory;
    const std::string report = (directory.path() / "report").string();
    const std::string program = (fs::path(kFakeServerDirectory) / "kelvod").string();
    const std::string mode = "--fake-mode=report-only";
    const std::string reportArgument = "--fake-report=" + report;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execl(program.c_str(), program.c_str(), mode.c_str(), reportArgument.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return ReportLines(report, "fd");
}

TEST(ServerLifetime, AForkedProgramInheritsNoDescriptorOfTheInstance) {
    const std::vector<std::string> before = DescriptorsOfAForkedProgram();
    for (const char* port : {"off", "auto"}) {
        StartResult result = Start({{"fake_mode", "serve"}, {"use_tcp_port", port}});
        ASSERT_EQ(result.error, nullptr);
        EXPECT_EQ(DescriptorsOfAForkedProgram(), before) << port;
        EXPECT_EQ(ErrorPtr(kelvo_instance_shutdown(result.instance.release(), 10000)), nullptr);
    }
}

// A copy of the application made by fork alone holds every descriptor,
// the callback connection too; closing that connection still reaches the
// server, which stops as asked.
TEST(ServerLifetime, AForkedCopyOfTheApplicationDoesNotKeepTheServerAlive) {
    for (const char* port : {"off", "auto"}) {
        StartResult result = Start({{"fake_mode", "serve"}, {"use_tcp_port", port}});
        ASSERT_EQ(result.error, nullptr);
        const pid_t copy = ::fork();
        if (copy == 0) {
            ::pause();
            ::_exit(0);
        }
        ErrorPtr error(kelvo_instance_shutdown(result.instance.release(), 10000));
        ::kill(copy, SIGKILL);
        ::waitpid(copy, nullptr, 0);
        EXPECT_EQ(error, nullptr) << port << ": " << kelvoapi::ToString(AsError(error));
    }
}

TEST(ServerLifetime, AnApplicationIgnoringSigchldGetsAnHonestReport) {
    StartResult result = Start({{"fake_mode", "serve"}, {"fake_exit_code", "7"}});
    ASSERT_EQ(result.error, nullptr);
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGCHLD, &ignore, &previous);
    ErrorPtr error(kelvo_instance_shutdown(result.instance.release(), 10000));
    ::sigaction(SIGCHLD, &previous, nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(AsError(error).GetSqlstate(), "58000");
    EXPECT_EQ(AsError(error).GetMessage(),
              "The exit status of the Kelvo server process is not available: the application ignores SIGCHLD or "
              "reaps child processes itself.");
}

TEST(ServerLifetime, DatabaseFilesAreDeletedOnlyWhenAskedAndRegular) {
    struct Case {
        const char* name;
        const char* autoDelete;  // null: absent
        bool databaseIsDirectory;
        const char* database;
        bool deleted;
    };
    for (const Case& c : {Case{"Asked", "true", false, "main.kelvo", true},
                          Case{"NoExtension", "true", false, "main", true},
                          Case{"UpperCase", "TRUE", false, "main.kelvo", false},
                          Case{"One", "1", false, "main.kelvo", false},
                          Case{"Absent", nullptr, false, "main.kelvo", false},
                          Case{"Directory", "true", true, "main.kelvo", true}}) {
        SCOPED_TRACE(c.name);
        ScopedTempDirectory directory;
        const fs::path database = directory.path() / c.database;
        fs::path log = database;
        log.replace_extension("dblog");
        if (c.databaseIsDirectory)
            fs::create_directory(database);
        else
            std::ofstream(database) << "data";
        std::ofstream(log) << "log";
        std::map<std::string, std::string> entries{{"fake_mode", "serve"}, {"database", database.string()}};
        if (c.autoDelete)
            entries["auto_delete_database"] = c.autoDelete;
        StartResult result = Start(entries);
        ASSERT_EQ(result.error, nullptr);
        EXPECT_EQ(ErrorPtr(kelvo_instance_shutdown(result.instance.release(), 10000)), nullptr);
        EXPECT_EQ(fs::exists(database), !c.deleted || c.databaseIsDirectory);
        EXPECT_EQ(fs::exists(log), !c.deleted);
    }
}

TEST(ServerLifetime, EmptyDatabaseNameDeletesNothing) {
    ScopedTempDirectory directory;
    const fs::path log = directory.path() / ".dblog";
    std::ofstream(log) << "log";
    StartResult result = Start({{"fake_mode", "serve"},
                                {"database", ""},
                                {"database_directory", directory.path().string()},
                                {"auto_delete_database", "true"}});
    ASSERT_EQ(result.error, nullptr);
    EXPECT_EQ(ErrorPtr(kelvo_instance_shutdown(result.instance.release(), 10000)), nullptr);
    EXPECT_TRUE(fs::exists(log));
    EXPECT_TRUE(fs::exists(directory.path()));
}

TEST(ChildDescriptors, ClosesEverythingButTheKeptOnesAtExec) {
    const kelvoapi::posix::close_file_descriptors_except closer{2, 1, 2};
    EXPECT_EQ(closer.exceptionFds, (std::vector<int>{1, 2}));
    EXPECT_GT(closer.maxFd, 2);
    ScopedTempDirectory directory;
    const std::string report = (directory.path() / "report").string();
    const std::string program = (fs::path(kFakeServerDirectory) / "kelvod").string();
    const std::string reportArgument = "--fake-report=" + report;
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        closer.CloseInChild();
        ::execl(program.c_str(), program.c_str(), "--fake-mode=report-only", reportArgument.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(ReportLines(report, "fd"), (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(ReportLines(report, "stdin"), std::vector<std::string>{"closed"});
}

}  // namespace
