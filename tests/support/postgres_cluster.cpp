// The private PostgreSQL cluster of the wire tests.
#include "postgres_cluster.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace kelvotest {
namespace {

const char kBinDir[] = "/usr/lib/postgresql/15/bin";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

int FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) throw std::runtime_error("socket: " + std::string(std::strerror(errno)));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        close(fd);
        throw std::runtime_error("could not find a free port");
    }
    close(fd);
    return ntohs(addr.sin_port);
}

// Replaces the child with argv, as the given user, reading input from a file
// and writing output to another.
[[noreturn]] void ExecAs(const std::vector<std::string>& argv, uid_t uid, gid_t gid, const std::string& input_path,
                         const std::string& output_path) {
    int in = open(input_path.c_str(), O_RDONLY);
    int out = open(output_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (in < 0 || out < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    if (getuid() == 0 && (setgid(gid) != 0 || setuid(uid) != 0)) _exit(126);
    // A clean environment: no PG* variables, no locale surprises.
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    char path_env[] = "PATH=/usr/bin:/bin";
    char lang_env[] = "LANG=C";
    char* env[] = {path_env, lang_env, nullptr};
    execve(args[0], args.data(), env);
    _exit(127);
}

bool CanConnect(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

}  // namespace

PostgresCluster::PostgresCluster(const Options& options) {
    char pattern[] = "/tmp/kelvo-pg-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    data_dir_ = root_ + "/data";
    socket_dir_ = root_ + "/socket";
    log_path_ = root_ + "/server.log";
    uid_ = getuid();
    gid_ = getgid();
    if (uid_ == 0) {
        struct passwd* pw = getpwnam("postgres");
        if (pw == nullptr) throw std::runtime_error("no user \"postgres\" to run the server as");
        uid_ = pw->pw_uid;
        gid_ = pw->pw_gid;
    }
    try {
        boost::filesystem::create_directories(socket_dir_);
        for (const std::string& dir : {root_, socket_dir_}) {
            if (chown(dir.c_str(), uid_, gid_) != 0) throw std::runtime_error("chown " + dir + " failed");
            chmod(dir.c_str(), 0700);
        }
        RunAsServerUser({std::string(kBinDir) + "/initdb", "-D", data_dir_, "-U", "postgres", "-A", "trust",
                         "--no-sync", "-E", "UTF8", "--locale=C"},
                        "", "initdb");

        std::ofstream hba(data_dir_ + "/pg_hba.conf", std::ios::trunc);
        for (const std::string& line : options.hba_lines) hba << line << "\n";
        hba.close();

        std::string sql;
        for (const std::string& statement : options.setup_sql) sql += statement + "\n";
        RunAsServerUser({std::string(kBinDir) + "/postgres", "--single", "-D", data_dir_, "postgres"}, sql,
                        "single-user set-up");
        port_ = FreePort();
        Start();
    } catch (...) {
        Stop();
        boost::system::error_code ignored;
        boost::filesystem::remove_all(root_, ignored);
        throw;
    }
}

PostgresCluster::~PostgresCluster() {
    Stop();
    boost::system::error_code ignored;
    boost::filesystem::remove_all(root_, ignored);
}

std::string PostgresCluster::socket_path() const { return socket_dir_ + "/.s.PGSQL." + std::to_string(port_); }

void PostgresCluster::RunAsServerUser(const std::vector<std::string>& argv, const std::string& input,
                                      const std::string& what) {
    const std::string input_path = root_ + "/input.sql";
    const std::string output_path = root_ + "/" + what.substr(0, what.find(' ')) + ".out";
    {
        std::ofstream in(input_path, std::ios::trunc);
        in << input;
    }
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) ExecAs(argv, uid_, gid_, input_path, output_path);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error(what + " failed:\n" + ReadFile(output_path));
    // Single-user mode reports a failed statement only in its output.
    std::string output = ReadFile(output_path);
    if (output.find("ERROR:") != std::string::npos) throw std::runtime_error(what + " failed:\n" + output);
}

void PostgresCluster::Start() {
    const std::string empty_input = root_ + "/empty";
    std::ofstream(empty_input).close();
    std::vector<std::string> argv = {std::string(kBinDir) + "/postgres",
                                     "-D", data_dir_,
                                     "-p", std::to_string(port_),
                                     "-k", socket_dir_,
                                     "-c", "listen_addresses=127.0.0.1",
                                     "-c", "fsync=off",
                                     "-c", "shared_buffers=16MB",
                                     "-c", "max_connections=20"};
    server_pid_ = fork();
    if (server_pid_ < 0) throw std::runtime_error("fork failed");
    if (server_pid_ == 0) ExecAs(argv, uid_, gid_, empty_input, log_path_);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    // The socket accepts before the server takes sessions; postmaster.pid
    // says "ready" once it does.
    while (!CanConnect(socket_path()) || ReadFile(data_dir_ + "/postmaster.pid").find("\nready") == std::string::npos) {
        int status = 0;
        if (waitpid(server_pid_, &status, WNOHANG) == server_pid_) {
            server_pid_ = -1;
            throw std::runtime_error("the PostgreSQL server exited:\n" + ReadFile(log_path_));
        }
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("the PostgreSQL server did not start:\n" + ReadFile(log_path_));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void PostgresCluster::Stop() {
    if (server_pid_ <= 0) return;
    // SIGINT is the fast shut-down: sessions are ended, nothing waits for them.
    kill(server_pid_, SIGINT);
    int status = 0;
    while (waitpid(server_pid_, &status, 0) < 0 && errno == EINTR) {
    }
    server_pid_ = -1;
}

}  // namespace kelvotest
