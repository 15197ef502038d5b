// The rejecting peer of standby_server.h. Only server binaries run (initdb
// and the server), each as the "postgres" account in a child that drops
// root's identity before exec.
#include "standby_server.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "postgres_cluster.h"

extern char** environ;

namespace kelvotest {
namespace {

constexpr const char* kBinDir = "/usr/lib/postgresql/15/bin";
constexpr auto kStartLimit = std::chrono::seconds(60);

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void Hand(const std::string& path, uid_t uid, gid_t gid) {
    if (chown(path.c_str(), uid, gid) != 0)
        throw std::runtime_error("cannot hand " + path + " to postgres: " + std::strerror(errno));
}

pid_t Spawn(uid_t uid, gid_t gid, const std::vector<std::string>& args, const std::string& log_path) {
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error(std::string("fork failed: ") + std::strerror(errno));
    if (pid == 0) {
        // Only async-signal-safe calls from here on.
        int in = open("/dev/null", O_RDONLY);
        int out = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0) _exit(126);
        if (fchown(out, uid, gid) != 0) _exit(126);
        gid_t groups[1] = {gid};
        if (setgroups(1, groups) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(126);
        prctl(PR_SET_PDEATHSIG, SIGQUIT);
        if (getppid() != parent || chdir("/") != 0) _exit(126);
        execve(argv[0], argv.data(), environ);
        _exit(127);
    }
    return pid;
}

int WaitFor(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

StandbyServer::StandbyServer() {
    ScrubPgEnvironment();
    struct passwd pw;
    struct passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (getpwnam_r("postgres", &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr)
        throw std::runtime_error("there is no \"postgres\" account to run the standby as");
    const uid_t uid = pw.pw_uid;
    const gid_t gid = pw.pw_gid;

    char root_template[] = "/tmp/kelvo-standby-XXXXXX";
    if (mkdtemp(root_template) == nullptr) throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    m_root_dir = root_template;
    const std::string data_dir = m_root_dir + "/data";
    m_socket_dir = m_root_dir + "/socket";
    const std::string log_path = m_root_dir + "/server.log";
    try {
        Hand(m_root_dir, uid, gid);
        for (const auto& dir : {data_dir, m_socket_dir}) {
            if (mkdir(dir.c_str(), 0700) != 0) throw std::runtime_error("mkdir " + dir + ": " + std::strerror(errno));
            Hand(dir, uid, gid);
        }
        const std::string bin = kBinDir;
        const std::string initdb_log = m_root_dir + "/initdb.log";
        if (WaitFor(Spawn(uid, gid,
                          {bin + "/initdb", "-D", data_dir, "-U", "kelvo_admin", "--auth=trust", "--no-sync",
                           "--locale=C", "--encoding=UTF8"},
                          initdb_log)) != 0)
            throw std::runtime_error("initdb failed:\n" + ReadAll(initdb_log));
        {
            std::ofstream signal_file(data_dir + "/standby.signal");
        }
        Hand(data_dir + "/standby.signal", uid, gid);

        m_port = FindFreeTcpPort();
        m_server_pid = Spawn(uid, gid,
                             {bin + "/postgres", "-D", data_dir, "-p", std::to_string(m_port), "-c",
                              "listen_addresses=", "-c", "unix_socket_directories=" + m_socket_dir, "-c",
                              "hot_standby=off", "-c", "fsync=off", "-c", "shared_buffers=8MB", "-c",
                              "max_connections=10"},
                             log_path);
        // A standby without hot standby reports "standby" in postmaster.pid
        // once it listens.
        const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
        while (ReadAll(data_dir + "/postmaster.pid").find("\nstandby") == std::string::npos) {
            int status = 0;
            if (waitpid(m_server_pid, &status, WNOHANG) == m_server_pid) {
                m_server_pid = -1;
                throw std::runtime_error("the standby exited during start-up:\n" + ReadAll(log_path));
            }
            if (std::chrono::steady_clock::now() > deadline)
                throw std::runtime_error("the standby did not listen within a minute:\n" + ReadAll(log_path));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    } catch (...) {
        Stop();
        throw;
    }
}

StandbyServer::~StandbyServer() { Stop(); }

void StandbyServer::Stop() {
    if (m_server_pid > 0) {
        // SIGQUIT: immediate shut-down; there is nothing to keep.
        kill(m_server_pid, SIGQUIT);
        WaitFor(m_server_pid);
        m_server_pid = -1;
    }
    if (!m_root_dir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_root_dir, ignored);
        m_root_dir.clear();
    }
}

}  // namespace kelvotest
