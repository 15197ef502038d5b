// See postgres_process.h.
#include "postgres_process.h"

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

extern char** environ;

namespace kelvotest::pgproc {
namespace {

constexpr auto kStartLimit = std::chrono::seconds(60);
constexpr auto kStopLimit = std::chrono::seconds(30);

}  // namespace

Account PostgresAccount() {
    struct passwd pw;
    struct passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (getpwnam_r("postgres", &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr)
        throw std::runtime_error("there is no \"postgres\" account to run the PostgreSQL peer as");
    return {pw.pw_uid, pw.pw_gid};
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush())
        throw std::runtime_error("cannot write " + path);
}

void Chown(const std::string& path, const Account& account) {
    if (chown(path.c_str(), account.uid, account.gid) != 0)
        throw std::runtime_error("cannot hand " + path + " to postgres: " + std::strerror(errno));
}

pid_t SpawnAsPostgres(const Account& account, const std::vector<std::string>& args, const std::string& stdin_path,
                      const std::string& log_path) {
    std::vector<char*> argv;
    for (const auto& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const char* input = stdin_path.empty() ? "/dev/null" : stdin_path.c_str();
    const pid_t parent = getpid();

    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error(std::string("fork failed: ") + std::strerror(errno));
    if (pid == 0) {
        // Only async-signal-safe calls from here on.
        int in = open(input, O_RDONLY);
        int out = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0)
            _exit(126);
        if (fchown(out, account.uid, account.gid) != 0)
            _exit(126);
        gid_t groups[1] = {account.gid};
        if (setgroups(1, groups) != 0 || setgid(account.gid) != 0 || setuid(account.uid) != 0)
            _exit(126);
        // After setuid: a change of identity clears the death signal.
        prctl(PR_SET_PDEATHSIG, SIGQUIT);
        if (getppid() != parent)
            _exit(126);
        if (chdir("/") != 0)
            _exit(126);
        execve(argv[0], argv.data(), environ);
        _exit(127);
    }
    return pid;
}

int WaitForExit(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void RunToCompletion(const Account& account, const std::vector<std::string>& args, const std::string& stdin_path,
                     const std::string& log_path) {
    int code = WaitForExit(SpawnAsPostgres(account, args, stdin_path, log_path));
    if (code != 0)
        throw std::runtime_error(args[0] + " exited with code " + std::to_string(code) + ":\n" + ReadFile(log_path));
}

std::string MakeCluster(const char* root_template, const Account& account) {
    std::vector<char> name(root_template, root_template + std::strlen(root_template) + 1);
    if (mkdtemp(name.data()) == nullptr)
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    std::string root = name.data();
    try {
        Chown(root, account);
        for (const auto& dir : {root + "/data", root + "/socket"}) {
            if (mkdir(dir.c_str(), 0700) != 0)
                throw std::runtime_error("mkdir " + dir + ": " + std::strerror(errno));
            Chown(dir, account);
        }
        RunToCompletion(account,
                        {std::string(kBinDir) + "/initdb", "-D", root + "/data", "-U", "kelvo_admin", "--auth=trust",
                         "--no-sync", "--locale=C", "--encoding=UTF8"},
                        "", root + "/initdb.log");
    } catch (...) {
        RemoveTree(root);
        throw;
    }
    return root;
}

pid_t StartServer(const Account& account, const std::string& data_dir, const std::vector<std::string>& settings,
                  const std::string& log_path, const std::string& state) {
    std::vector<std::string> args = {std::string(kBinDir) + "/postgres", "-D", data_dir};
    for (const auto& setting : settings) {
        args.push_back("-c");
        args.push_back(setting);
    }
    pid_t pid = SpawnAsPostgres(account, args, "", log_path);
    // The last line of postmaster.pid names the server's state once it listens; polling the file is the only signal the
    // server gives.
    const std::string pid_file = data_dir + "/postmaster.pid";
    const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
    while (ReadFile(pid_file).find("\n" + state) == std::string::npos) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid)
            throw std::runtime_error("the server exited during start-up:\n" + ReadFile(log_path));
        if (std::chrono::steady_clock::now() > deadline) {
            StopServer(pid, SIGQUIT);
            throw std::runtime_error("the server did not reach the state \"" + state + "\" within a minute:\n" +
                                     ReadFile(log_path));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return pid;
}

void StopServer(pid_t& pid, int signal) {
    if (pid <= 0)
        return;
    kill(pid, signal);
    const auto deadline = std::chrono::steady_clock::now() + kStopLimit;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid = -1;
}

void RemoveTree(std::string& root) {
    if (root.empty())
        return;
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    root.clear();
}

}  // namespace kelvotest::pgproc
