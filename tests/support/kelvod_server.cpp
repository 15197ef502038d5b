// Starting and stopping kelvod for the tests.
#include "kelvod_server.h"

#include "local_connection.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <thread>

namespace kelvotest {

namespace {

// <build>/lib/kelvo/kelvod, found from the test binary in <build>/bin.
std::string ExecutablePath() {
    std::error_code ec;
    auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return (self.parent_path().parent_path() / "lib" / "kelvo" / "kelvod").string();
}

pid_t Spawn(const std::vector<std::string>& args, const std::string& errFile, bool brokenOutput = false) {
    int brokenPipe[2] = {-1, -1};
    if (brokenOutput && ::pipe(brokenPipe) != 0)
        return -1;
    std::vector<char*> argv;
    const std::string exe = ExecutablePath();
    argv.push_back(const_cast<char*>(exe.c_str()));
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        // As the library starts it: standard input closed, output to files.
        int err = brokenOutput ? brokenPipe[1] : ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (err >= 0) {
            ::dup2(err, 1);
            ::dup2(err, 2);
        }
        ::close(0);
        for (int fd = 3; fd < 1024; ++fd)
            ::close(fd);
        ::execv(exe.c_str(), argv.data());
        ::_exit(127);
    }
    if (brokenOutput) {
        // Nobody will read: every write of the server to its output fails.
        ::close(brokenPipe[0]);
        ::close(brokenPipe[1]);
    }
    return pid;
}

std::optional<int> WaitFor(pid_t pid, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace

std::string MakeTempDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kelvod-test-XXXXXX").string();
    return ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

KelvodServer::KelvodServer() : m_dir(MakeTempDirectory()) {}

KelvodServer::~KelvodServer() {
    if (m_pid > 0)
        Stop(5000);
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
}

bool KelvodServer::Start(const Options& options) {
    // An old socket file, left by an earlier start of this server, is replaced.
    const int listenFd = ListenUnix(m_dir + "/cb");
    std::vector<std::string> args{"--database=" + MainDatabase(), "--init=overwrite", "--no-password=true"};
    args.insert(args.end(), options.extraArguments.begin(), options.extraArguments.end());
    args.insert(args.end(), {"--listen-connection",
                             options.tcp ? "pel.tcp://localhost:auto" : "pel.domain://" + m_dir + "/domain/auto",
                             "--callback-connection", "pel.domain://" + m_dir + "/domain/cb", "run"});
    m_pid = Spawn(args, m_dir + "/stderr.txt", options.brokenOutput);
    // Wait for the call-back in short steps, giving up early when the server exits.
    bool called = false;
    for (int waited = 0; waited < 20000 && !called; waited += 100) {
        called = WaitReadable(listenFd, 100);
        int status = 0;
        if (!called && ::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            break;
        }
    }
    m_callbackFd = called ? ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC) : -1;
    ::close(listenFd);
    if (m_callbackFd < 0)
        return false;
    // The endpoint's text after a byte of its length.
    unsigned char len = 0;
    timeval tv{10, 0};
    ::setsockopt(m_callbackFd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (::recv(m_callbackFd, &len, 1, MSG_WAITALL) != 1)
        return false;
    m_endpoint.assign(len, '\0');
    return len == 0 || ::recv(m_callbackFd, m_endpoint.data(), len, MSG_WAITALL) == len;
}

std::optional<int> KelvodServer::Stop(int timeoutMs) {
    if (m_pid <= 0)
        return std::nullopt;
    if (m_callbackFd >= 0)
        ::close(m_callbackFd);
    m_callbackFd = -1;
    auto code = WaitFor(m_pid, timeoutMs);
    m_pid = -1;
    return code;
}

std::string KelvodServer::Output() const {
    std::ifstream in(m_dir + "/stderr.txt");
    return std::string(std::istreambuf_iterator<char>(in), {});
}

int KelvodServer::RunWithArguments(const std::vector<std::string>& args, int timeoutMs) {
    std::string dir = MakeTempDirectory();
    pid_t pid = Spawn(args, dir + "/stderr.txt");
    auto code = WaitFor(pid, timeoutMs);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return code.value_or(-1);
}

KelvodServer* KelvodSuite::server = nullptr;

void KelvodSuite::SetUpTestSuite() {
    server = new KelvodServer();
    ASSERT_TRUE(server->Start()) << server->Output();
}

void KelvodSuite::TearDownTestSuite() {
    EXPECT_EQ(server->Stop().value_or(-1), 0) << server->Output();
    if (::testing::UnitTest::GetInstance()->failed_test_count() > 0)
        std::cerr << server->Output();
    delete server;
    server = nullptr;
}

void KelvodFormatsSuite::SetUp() {
    ASSERT_EQ(m_text.Open(server->Endpoint(), ":main", "result_format_code=Text").status, 'I');
    ASSERT_EQ(m_binary.Open(server->Endpoint(), ":main", "result_format_code=KelvoBinary").status, 'I');
}

}  // namespace kelvotest
