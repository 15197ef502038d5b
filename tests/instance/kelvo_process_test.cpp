// Starting and stopping servers through the fake server, and the connection parameter defaults.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <netinet/in.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "error/error.h"
#include "instance/instance.h"
#include "instance/kelvo_process.h"
#include "kelvo/connection.h"
#include "kelvo/instance.h"
#include "kelvo/parameters.h"
#include "support/error_ptr.h"
#include "support/scoped_temp_directory.h"
#include "support/thrown_error.h"

namespace {

namespace fs = std::filesystem;
using namespace kelvotest;
using kelvoapi::Instance;
using std::chrono::milliseconds;

const std::string kFakeServerDirectory = FAKE_KELVOD_DIR;

template <typename T, void (*Release)(T*)>
struct Releaser {
    void operator()(T* object) const { Release(object); }
};
using ParametersPtr = std::unique_ptr<kelvo_parameters_t, Releaser<kelvo_parameters_t, kelvo_parameters_destroy>>;
using InstancePtr = std::unique_ptr<kelvo_instance_t, Releaser<kelvo_instance_t, kelvo_instance_close>>;

ParametersPtr MakeParameters(const std::map<std::string, std::string>& entries) {
    kelvo_parameters_t* raw = nullptr;
    EXPECT_EQ(ErrorPtr(kelvo_create_instance_parameters(&raw, false)), nullptr);
    ParametersPtr parameters(raw);
    for (const auto& [name, value] : entries)
        EXPECT_EQ(ErrorPtr(kelvo_parameters_set(raw, name.c_str(), value.c_str())), nullptr) << name;
    return parameters;
}

// "name=value name=value" as parameter entries.
std::map<std::string, std::string> Entries(const std::string& text) {
    std::map<std::string, std::string> entries;
    std::istringstream in(text);
    for (std::string item; in >> item;)
        entries[item.substr(0, item.find('='))] = item.substr(item.find('=') + 1);
    return entries;
}

struct StartResult {
    ErrorPtr error;
    InstancePtr instance;
};

// The telemetry value is passed as a C caller would pass it: any int.
StartResult Start(const std::string& entries, const std::string& directory = kFakeServerDirectory, int telemetry = 0) {
    using CreateFromC = kelvo_error_t* (*)(const char*, int, const kelvo_parameters_t*, kelvo_instance_t**);
    const auto create = reinterpret_cast<CreateFromC>(&kelvo_instance_create);
    ParametersPtr parameters = MakeParameters(Entries(entries));
    auto* sentinel = reinterpret_cast<kelvo_instance_t*>(0x1);
    kelvo_instance_t* instance = sentinel;
    StartResult result;
    result.error.reset(create(directory.c_str(), telemetry, parameters.get(), &instance));
    EXPECT_TRUE(!result.error || instance == sentinel) << "written on failure";
    if (!result.error)
        result.instance.reset(instance);
    return result;
}

pid_t ServerPid(kelvo_instance_t* instance) {
    return static_cast<Instance*>(instance)->m_kelvoServerProcess->GetProcessId();
}

// The lines of the fake server's report, after their "<key> " prefix.
std::vector<std::string> ReportLines(const std::filesystem::path& report, const std::string& key) {
    std::vector<std::string> lines;
    std::ifstream in(report);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(key + " ", 0) == 0)
            lines.push_back(line.substr(key.size() + 1));
    return lines;
}

// Whether the process is gone (or only a zombie no one waits for).
bool ProcessGone(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return true;
    const auto close = line.rfind(')');
    return close != std::string::npos && line.size() > close + 2 && line[close + 2] == 'Z';
}

// The start-up limit is shortened for the cases that wait for it.
struct ShortStartupLimit {
    explicit ShortStartupLimit(milliseconds limit) { kelvoapi::SetStartupTimeLimitForTesting(limit); }
    ~ShortStartupLimit() { kelvoapi::SetStartupTimeLimitForTesting(std::chrono::nanoseconds(0)); }
};

// The last 16 KiB of the 20000 characters the fake server floods a stream with.
std::string FloodTail(char first) {
    std::string text;
    for (int i = 20000 - 16384; i < 20000; ++i)
        text += static_cast<char>(first + i % 26);
    return text;
}

// Polls for up to five seconds.
template <typename Condition>
bool Eventually(Condition condition) {
    for (int attempt = 0; attempt < 500; ++attempt) {
        if (condition())
            return true;
        std::this_thread::sleep_for(milliseconds(10));
    }
    return condition();
}

const kelvoapi::Error& ExpectStartFailure(const ErrorPtr& returned) {
    if (returned == nullptr)
        throw std::logic_error("started");
    const kelvoapi::Error& error = AsError(returned);
    EXPECT_EQ(Summary(error), "58000 0x86a93465 Failed to start a new Kelvo instance.");
    if (error.GetCause() == nullptr)
        throw std::logic_error("no cause");
    return *error.GetCause();
}

// Whatever ends a start-up, the call reports why and leaves neither the process nor the database file behind; a server
// killed or stopped during start-up fails the call within the start-up limit and a little (not the shut-down's grace
// period on top).
TEST(StartFailure, ReportsWhyAndLeavesNothingBehind) {
    const std::string exited = "HY000 0x13cead20 The Kelvo server process exited during startup with exit code: ";
    // The start-up limit is short only where the case waits for it: a server that exits must be seen exiting however
    // slow the machine is.
    const milliseconds patient = std::chrono::seconds(20);
    // The entries; the Summary of the cause to its first line's end ("%pid%": the server's), or only its SQLSTATE; the
    // output reported; the limit.
    const std::tuple<const char*, std::string, std::string, milliseconds> cases[] = {
        {"fake_mode=flood fake_exit_code=3", exited + "3",
         "Child process' stdout:\n" + FloodTail('a') + "\nChild process' stderr:\n" + FloodTail('A') + "\n", patient},
        {"fake_mode=silent-exit fake_exit_code=4 capture_output_streams=false", exited + "4",
         "Child process' output was not captured.", patient},
        {"fake_mode=partial fake_exit_code=5", exited + "5", "", patient},
        {"fake_mode=no-callback",
         "08001 0xf6603a71 The Kelvo server did not call back on the callback connection: process id: %pid%", "",
         milliseconds(700)},
        {"fake_mode=stop", "08001", "", milliseconds(700)}};
    for (const auto& [entries, error, output, startupLimit] : cases) {
        SCOPED_TRACE(entries);
        ShortStartupLimit limit(startupLimit);
        ScopedTempDirectory directory;
        const std::string dir = directory.path().string(), report = dir + "/report", database = dir + "/main.kelvo";
        std::ofstream(database) << "data";
        const auto start = std::chrono::steady_clock::now();
        StartResult result =
            Start(std::string(entries) + " database=main.kelvo auto_delete_database=true fake_report=" + report +
                  " domain_socket_dir=" + dir + " database_directory=" + dir);
        EXPECT_LT(std::chrono::steady_clock::now() - start, startupLimit + milliseconds(1500));
        const kelvoapi::Error& cause = ExpectStartFailure(result.error);
        const std::vector<std::string> pid = ReportLines(report, "pid");
        ASSERT_EQ(pid.size(), 1u);
        errno = 0;
        EXPECT_EQ(::waitpid(std::stoi(pid[0]), nullptr, WNOHANG), -1);
        EXPECT_EQ(errno, ECHILD) << "not reaped";
        EXPECT_FALSE(fs::exists(database));
        if (error.size() == 5) {
            EXPECT_EQ(cause.GetSqlstate(), error);
            continue;
        }
        std::string command, expected = error;
        for (const auto& argument : ReportLines(report, "arg"))
            command += (command.empty() ? "" : " ") + argument;
        if (const auto at = expected.find("%pid%"); at != std::string::npos)
            expected.replace(at, 5, pid[0]);
        EXPECT_EQ(Summary(cause), expected + "\nCommand-line: \"" + command + "\"\n" + output);
    }
}

TEST(StartFailure, BadSetUpIsReportedAsTheCause) {
    ScopedTempDirectory empty;
    ScopedTempDirectory notExecutable;
    std::ofstream(notExecutable.path() / "kelvod") << "#!/bin/sh\n";
    ::chmod((notExecutable.path() / "kelvod").c_str(), 0644);
    const std::tuple<std::string, const char*, const char*, uint32_t, std::string> cases[] = {
        {empty.path().string(), "", "58P01", 0x0aae87b1,
         "The Kelvo executable \"" + (empty.path() / "kelvod").string() + "\" does not exist."},
        {notExecutable.path().string(), "", nullptr, 0xeee3fd70,
         "Could not spawn the Kelvo server process " + (notExecutable.path() / "kelvod").string() + "."},
        {kFakeServerDirectory, "callback_connection=nonsense", "22023", 0xa27dd27e, ""}};
    for (const auto& [directory, entries, sqlstate, contextId, message] : cases) {
        SCOPED_TRACE(contextId);
        StartResult result = Start(entries, directory);
        const kelvoapi::Error& cause = ExpectStartFailure(result.error);
        EXPECT_EQ(cause.GetContextId().value, contextId);
        EXPECT_EQ(sqlstate ? cause.GetSqlstate() : "", sqlstate ? sqlstate : "");
        EXPECT_EQ(message.empty() ? "" : cause.GetMessage(), message);
    }
    // The child whose exec failed left no zombie behind.
    for (int attempt = 0; attempt < 50; ++attempt, std::this_thread::sleep_for(milliseconds(10)))
        ASSERT_LE(::waitpid(-1, nullptr, WNOHANG), 0);
}

// The output goes into the first error that reports it; a later one says it is gone rather than repeating it.
TEST(StartFailure, OutputIsReportedOnce) {
    kelvoapi::KelvoProcess process(kFakeServerDirectory);
    ParametersPtr parameters = MakeParameters({{"fake_mode", "exit"}, {"fake_exit_code", "3"}});
    const auto& set = *static_cast<const kelvoapi::Parameters*>(parameters.get());
    EXPECT_NE(Thrown([&] { process.Start(set); }).find("Child process' stderr:\nfake kelvod exits with 3\n"),
              std::string::npos);
    EXPECT_EQ(Thrown([&] { process.Shutdown(milliseconds(10000)); }),
              "HY000 0x255a28 The Kelvo server terminated with exit code 3.\nChild process' output was not captured.");
}

// A port held on every address for the length of a test, so that nothing else (the callback listener's ephemeral port
// least of all) can take it.
struct HeldTcpPort {
    HeldTcpPort() {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_any;
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        socklen_t length = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = std::to_string(ntohs(address.sin6_port));
    }
    ~HeldTcpPort() { ::close(fd); }
    int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
    std::string port;
};

TEST(ServerStart, TheServerSeesItsCommandLineAndNothingElse) {
    const HeldTcpPort held;
    // Work from a short directory: a socket path must fit in 108 bytes, and the build directory may lie deep in the
    // file system.
    ScopedTempDirectory directory;
    const fs::path previous = fs::current_path();
    fs::current_path(directory.path());
    fs::create_directory("sockets");
    const std::string sockets = (directory.path() / "sockets").string();
    const std::string domain = "pel\\.domain://" + sockets + "/domain/";
    const std::string loopback = "pel\\.tcp://(\\[::1\\]|127\\.0\\.0\\.1):[1-9][0-9]*";
    // Only a telemetry value of exactly 1 opts in; the call-back and the endpoint are patterns.
    const std::tuple<std::string, int, std::string, std::string, std::string> cases[] = {
        {"fake_mode=serve domain_socket_dir=" + sockets, 0, "pel.domain://" + sockets + "/domain/auto",
         domain + "[0-9a-f]{32}", domain + "[0-9]+"},
        // A relative socket directory is made absolute; the call-back arrives in pieces.
        {"fake_mode=slow domain_socket_dir=sockets", 0, "pel.domain://" + sockets + "/domain/auto",
         domain + "[0-9a-f]{32}", domain + "[0-9]+"},
        {"fake_mode=serve use_tcp_port=auto", 1, "pel.tcp://localhost:auto", loopback, "pel\\.tcp://localhost:[0-9]+"},
        // The call-back takes a port of its own, never the server's.
        {"fake_mode=serve use_tcp_port=" + held.port, 2, "pel.tcp://localhost:" + held.port, loopback,
         "pel\\.tcp://localhost:" + held.port}};
    for (const auto& [text, telemetry, listen, callback, endpointPattern] : cases) {
        SCOPED_TRACE(listen);
        const fs::path report = directory.path() / "report";
        StartResult result = Start(text + " fake_report=" + report.string(), kFakeServerDirectory, telemetry);
        ASSERT_EQ(result.error, nullptr) << kelvoapi::ToString(AsError(result.error));
        std::vector<std::string> argv = ReportLines(report, "arg");
        EXPECT_EQ(std::count(argv.begin(), argv.end(), "--telemetry-opt-in="), telemetry == 1 ? 1 : 0);
        argv.erase(std::remove(argv.begin(), argv.end(), "--telemetry-opt-in="), argv.end());
        ASSERT_EQ(argv.size(), 8u);
        EXPECT_TRUE(std::regex_match(argv[6], std::regex(callback))) << argv[6];
        EXPECT_NE(argv[6].substr(argv[6].rfind(':') + 1), held.port);
        EXPECT_EQ(argv, (std::vector<std::string>{(fs::path(kFakeServerDirectory) / "kelvod").string(),
                                                  "--fake-mode=" + Entries(text).at("fake_mode"),
                                                  "--fake-report=" + report.string(), "--listen-connection", listen,
                                                  "--callback-connection", argv[6], "run"}));
        // Only standard output and error reach the server; standard input is closed.
        EXPECT_EQ(ReportLines(report, "fd"), (std::vector<std::string>{"1", "2"}));
        EXPECT_EQ(ReportLines(report, "pgid-is-pid"), std::vector<std::string>{"yes"});
        EXPECT_EQ(ReportLines(report, "stdin"), std::vector<std::string>{"closed"});
        const std::string endpoint = kelvo_instance_get_endpoint_descriptor(result.instance.get());
        EXPECT_TRUE(std::regex_match(endpoint, std::regex(endpointPattern))) << endpoint;
        int code = -12345;
        EXPECT_FALSE(kelvo_instance_get_exit_code(result.instance.get(), &code));
        EXPECT_EQ(code, -12345);
        EXPECT_EQ(ErrorPtr(kelvo_instance_shutdown(result.instance.release(), -1)), nullptr);
    }
    fs::current_path(previous);

    // An empty server directory searches for the server, KELVO_PATH last.
    ::setenv("KELVO_PATH", kFakeServerDirectory.c_str(), 1);
    StartResult searched = Start("fake_mode=serve", "");
    ::unsetenv("KELVO_PATH");
    EXPECT_EQ(searched.error, nullptr);
}

// What happens to the server, or the application, before the shut-down.
enum class Before { Nothing, KillServer, IgnoreSigchld };

TEST(Shutdown, ReportsALateOrFailedExit) {
    // The entries, the time-out, the Summary of the error, the exit code of its cause (-1: none).
    const std::tuple<const char*, int, std::string, int, Before> cases[] = {
        {"fake_mode=serve fake_exit_code=7", 10000,
         "HY000 0x255a28 The Kelvo server terminated with exit code 7.\nChild process' stderr:\nfake kelvod stops "
         "with 7\n\n",
         7, Before::Nothing},
        {"fake_mode=ignore-close", 1000,
         "HYT00 0x150ff The Kelvo process took longer than 1000 milliseconds to shut down, and was terminated "
         "forcefully.\n",
         -1, Before::Nothing},
        {"fake_mode=serve", 1000, "HY000 0x255a28 The Kelvo server terminated with exit code 9.\n", 9,
         Before::KillServer},
        {"fake_mode=serve fake_exit_code=7", 10000,
         "58000 0x34c41d The exit status of the Kelvo server process is not available: the application ignores "
         "SIGCHLD or reaps child processes itself.",
         -1, Before::IgnoreSigchld}};
    for (const auto& [entries, timeoutMs, expected, exitCodeCause, before] : cases) {
        SCOPED_TRACE(expected);
        StartResult result = Start(entries);
        ASSERT_EQ(result.error, nullptr) << kelvoapi::ToString(AsError(result.error));
        const pid_t pid = ServerPid(result.instance.get());
        int code = -1;
        if (before == Before::KillServer) {
            ::kill(pid, SIGKILL);
            EXPECT_TRUE(Eventually([&] { return kelvo_instance_get_exit_code(result.instance.get(), &code); }));
            code = -1;  // asking again gives the same answer
            EXPECT_TRUE(kelvo_instance_get_exit_code(result.instance.get(), &code));
            EXPECT_EQ(code, 9);
        }
        struct sigaction ignore {};
        struct sigaction previous {};
        ignore.sa_handler = before == Before::IgnoreSigchld ? SIG_IGN : SIG_DFL;
        ::sigaction(SIGCHLD, &ignore, &previous);
        ErrorPtr error(kelvo_instance_shutdown(result.instance.release(), timeoutMs));
        ::sigaction(SIGCHLD, &previous, nullptr);
        EXPECT_TRUE(ProcessGone(pid));
        ASSERT_NE(error, nullptr);
        const kelvoapi::Error& e = AsError(error);
        EXPECT_EQ(Summary(e), expected);
        if (exitCodeCause >= 0) {
            ASSERT_NE(e.GetCause(), nullptr);
            EXPECT_EQ(e.GetCause()->GetCode(), std::error_code(exitCodeCause, kelvoapi::process_exit_code_category()));
            EXPECT_EQ(e.GetCause()->GetContextId().value, 0x00748efau);
        }
    }
}

TEST(ServerLifetime, GrandchildIsGoneAfterRelease) {
    for (const int timeoutMs : {10000, 0}) {
        ScopedTempDirectory directory;
        const fs::path report = directory.path() / "report";
        StartResult result = Start("fake_mode=grandchild fake_report=" + report.string());
        ASSERT_EQ(result.error, nullptr);
        pid_t grandchild = 0;
        ASSERT_TRUE(Eventually([&] { return bool(std::ifstream(report.string() + ".grandchild") >> grandchild); }));
        EXPECT_FALSE(ProcessGone(grandchild));
        ErrorPtr(kelvo_instance_shutdown(result.instance.release(), timeoutMs));
        EXPECT_TRUE(Eventually([&] { return ProcessGone(grandchild); })) << timeoutMs;
    }
}

// Runs the fake server from a plain fork and exec, as an application might, and returns the descriptors it found open.
std::vector<std::string> DescriptorsOfAForkedProgram() {
    ScopedTempDirectory directory;
    const std::string report = "--fake-report=" + (directory.path() / "report").string();
    const std::string program = (fs::path(kFakeServerDirectory) / "kelvod").string();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execl(program.c_str(), program.c_str(), "--fake-mode=report-only", report.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::waitpid(pid, nullptr, 0);
    return ReportLines(directory.path() / "report", "fd");
}

// A program the application forks and execs inherits no descriptor of the instance; a copy made by fork alone holds
// them all, the callback connection too, yet closing that connection still reaches the server, which stops.
TEST(ServerLifetime, ForkedProgramsAndCopiesDoNotKeepTheServerAlive) {
    const std::vector<std::string> before = DescriptorsOfAForkedProgram();
    for (const char* port : {"off", "auto"}) {
        SCOPED_TRACE(port);
        StartResult result = Start(std::string("fake_mode=serve use_tcp_port=") + port);
        ASSERT_EQ(result.error, nullptr);
        EXPECT_EQ(DescriptorsOfAForkedProgram(), before);
        const pid_t copy = ::fork();
        if (copy == 0) {
            ::pause();
            ::_exit(0);
        }
        ErrorPtr error(kelvo_instance_shutdown(result.instance.release(), 10000));
        ::kill(copy, SIGKILL);
        ::waitpid(copy, nullptr, 0);
        EXPECT_EQ(error, nullptr) << kelvoapi::ToString(AsError(error));
    }
}

TEST(ServerLifetime, DatabaseFilesAreDeletedOnlyWhenAskedAndRegular) {
    // A null auto_delete_database: absent.
    const std::tuple<const char*, bool, const char*, bool> cases[] = {
        {"TRUE", false, "main.kelvo", false},
        {nullptr, false, "main.kelvo", false},
        {"true", true, "main.kelvo", true},
        // An empty name deletes nothing, not even a ".dblog" in the directory.
        {"true", true, "", false}};
    for (const auto& [autoDelete, databaseIsDirectory, name, deleted] : cases) {
        SCOPED_TRACE(std::string(autoDelete ? autoDelete : "absent") + " " + name);
        ScopedTempDirectory directory;
        const fs::path database = directory.path() / name;
        const fs::path log = directory.path() / (fs::path(name).stem().string() + ".dblog");
        if (databaseIsDirectory)
            fs::create_directories(database);
        else
            std::ofstream(database) << "data";
        std::ofstream(log) << "log";
        StartResult result =
            Start("fake_mode=serve database=" + std::string(name) + " database_directory=" + directory.path().string() +
                  (autoDelete ? std::string(" auto_delete_database=") + autoDelete : ""));
        ASSERT_EQ(result.error, nullptr);
        EXPECT_EQ(ErrorPtr(kelvo_instance_shutdown(result.instance.release(), 10000)), nullptr);
        EXPECT_EQ(fs::exists(database), !deleted || databaseIsDirectory);
        EXPECT_EQ(fs::exists(log), !deleted);
    }
}

// A real server that stops answering (stopped by a signal; the kernel still takes the start-up packet): connect_timeout
// ends the wait with 08001 "timeout expired", on a socket file and over TCP with keep-alives, which the kernel answers
// for the stopped server and which therefore do not end it sooner.
TEST(ServerStart, AStoppedServerFailsTheConnectWhenItsTimeoutExpires) {
    for (const char* port : {"off", "auto"}) {
        SCOPED_TRACE(port);
        kelvo_parameters_t* raw = nullptr;
        ASSERT_EQ(ErrorPtr(kelvo_create_instance_parameters(&raw, true)), nullptr);
        ParametersPtr parameters(raw);
        ASSERT_EQ(ErrorPtr(kelvo_parameters_set(raw, "use_tcp_port", port)), nullptr);
        kelvo_instance_t* instance = nullptr;
        ASSERT_EQ(ErrorPtr(kelvo_instance_create(KELVO_SERVER_DIR, KELVO_DISABLE_TELEMETRY, raw, &instance)), nullptr);
        InstancePtr started(instance);
        ASSERT_EQ(ErrorPtr(kelvo_create_connection_parameters(instance, &raw)), nullptr);
        parameters.reset(raw);
        for (const auto& [name, value] :
             Entries("connect_timeout=2 keepalives=1 keepalives_idle=1 keepalives_interval=1 keepalives_count=1"))
            ASSERT_EQ(ErrorPtr(kelvo_parameters_set(raw, name.c_str(), value.c_str())), nullptr) << name;
        ASSERT_EQ(::kill(ServerPid(instance), SIGSTOP), 0);
        const auto start = std::chrono::steady_clock::now();
        kelvo_connection_t* connection = nullptr;
        const ErrorPtr error(kelvo_connect(raw, &connection, KELVO_DO_NOT_CREATE));
        const auto waited = std::chrono::steady_clock::now() - start;
        ::kill(ServerPid(instance), SIGCONT);
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(AsError(error).GetSqlstate() + " " + AsError(error).GetMessage(), "08001 timeout expired");
        EXPECT_GE(waited, std::chrono::seconds(1));
        EXPECT_LT(waited, std::chrono::seconds(5));
        EXPECT_EQ(ErrorPtr(kelvo_instance_shutdown(started.release(), 5000)), nullptr);
    }
}

// Released by the static destructors at exit, after the library's own: a crash or hang there fails this binary.
InstancePtr& InstanceReleasedAtExit() {
    static InstancePtr instance;
    return instance;
}

TEST(EndpointRegistry, EqualTextsAreCounted) {
    const std::string endpoint = "pel.tcp://localhost:1";
    Instance::RegisterEndpoint(endpoint);
    Instance::RegisterEndpoint(endpoint);
    Instance::UnregisterEndpoint(endpoint);
    EXPECT_TRUE(Instance::isLocalEndpoint(endpoint));
    Instance::UnregisterEndpoint(endpoint);
    EXPECT_FALSE(Instance::isLocalEndpoint(endpoint));
}

std::map<std::string, std::string> EntriesOf(const kelvo_parameters_t* parameters) {
    const auto& set = *static_cast<const kelvoapi::Parameters*>(parameters);
    return {set.begin(), set.end()};
}

TEST(ConnectionDefaults, WithoutAndWithAnInstance) {
    std::map<std::string, std::string> expected = Entries(
        "dbname=[] user=pellory_internal_user result_format_code=KelvoBinary requested_protocol_version=1 "
        "extra_float_digits=2 two_digit_year_threshold=40 allow_redirects=true");
    kelvo_parameters_t* raw = nullptr;
    ASSERT_EQ(ErrorPtr(kelvo_create_connection_parameters(nullptr, &raw)), nullptr);
    EXPECT_EQ(EntriesOf(ParametersPtr(raw).get()), expected);

    StartResult result = Start("fake_mode=serve");
    ASSERT_EQ(result.error, nullptr);
    ASSERT_EQ(ErrorPtr(kelvo_create_connection_parameters(result.instance.get(), &raw)), nullptr);
    expected["endpoint"] = kelvo_instance_get_endpoint_descriptor(result.instance.get());
    EXPECT_EQ(EntriesOf(ParametersPtr(raw).get()), expected);
    InstanceReleasedAtExit() = std::move(result.instance);

    // An instance without a server is refused, and nothing is written.
    Instance empty;
    raw = reinterpret_cast<kelvo_parameters_t*>(0x1);
    ErrorPtr error(kelvo_create_connection_parameters(&empty, &raw));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(Summary(AsError(error)), "22023 0x41862f97 The given instance is not valid.");
    EXPECT_EQ(raw, reinterpret_cast<kelvo_parameters_t*>(0x1));
    EXPECT_STREQ(kelvo_instance_get_endpoint_descriptor(&empty), "");
    int code = -1;
    EXPECT_FALSE(kelvo_instance_get_exit_code(&empty, &code));
}

}  // namespace
