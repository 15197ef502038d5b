// What the side-by-side programs share: timing and medians, the command-line
// arguments, a server started through the library with one connection, and
// the server's memory read from /proc.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "error/error.h"
#include "kelvo/kelvo.h"
#include "support/kelvod_server.h"
#include "support/rounds.h"

namespace sidebyside {

[[noreturn]] inline void Fail(const std::string& what) {
    std::fprintf(stderr, "failed: %s\n", what.c_str());
    std::exit(1);
}

// Takes the error: fails the program with its text.
inline void Check(kelvo_error_t* e, const std::string& what) {
    if (e == nullptr)
        return;
    std::string text = kelvoapi::ToString(*static_cast<kelvoapi::Error*>(e));
    kelvo_error_destroy(e);
    Fail(what + ": " + text);
}

template <typename F>
double Seconds(F&& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

using kelvobench::ArgOr;
using kelvobench::Median;

// VmHWM (peak) or VmRSS of a process, in KiB; -1 when unreadable.
inline long MemoryKiB(pid_t pid, const char* field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0)
            return std::stol(line.substr(std::string(field).size()));
    return -1;
}

// User plus system CPU seconds a process has used so far.
inline double CpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields after the command name, which ends with the last ')': state is the first, utime the 12th.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 1; i <= 13 && fields >> field; ++i) {
        if (i == 12)
            utime = std::stoull(field);
        if (i == 13)
            stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Starts the peak anew, so that the next VmHWM read covers what came after.
inline void ResetPeakMemory(pid_t pid) { std::ofstream("/proc/" + std::to_string(pid) + "/clear_refs") << "5"; }

// The children of this process named kelvod (the servers the library started).
inline std::vector<pid_t> ServerPids() {
    std::vector<pid_t> pids;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream children(task.path() / "children");
        pid_t pid = 0;
        while (children >> pid) {
            std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
            std::string name;
            comm >> name;
            if (name == "kelvod")
                pids.push_back(pid);
        }
    }
    return pids;
}

// The one server the library started, or the first of several.
inline pid_t ServerPid() {
    const std::vector<pid_t> pids = ServerPids();
    return pids.empty() ? -1 : pids.front();
}

// A server started through the library on a scratch directory, and one
// connection to a fresh database in it.
class LibraryServer {
public:
    explicit LibraryServer(bool tcp = false) : m_dir(kelvotest::MakeTempDirectory()) {
        kelvo_parameters_t* parameters = nullptr;
        Check(kelvo_create_instance_parameters(&parameters, true), "instance parameters");
        Check(kelvo_parameters_set(parameters, "use_tcp_port", tcp ? "auto" : "off"), "use_tcp_port");
        Check(kelvo_parameters_set(parameters, "log_dir", m_dir.c_str()), "log_dir");
        const std::vector<pid_t> before = ServerPids();
        Check(kelvo_instance_create(KELVO_SERVER_DIR, KELVO_DISABLE_TELEMETRY, parameters, &m_instance), "start");
        for (pid_t pid : ServerPids())
            if (std::find(before.begin(), before.end(), pid) == before.end())
                m_pid = pid;
        kelvo_parameters_destroy(parameters);
        m_conn = Connect(KELVO_CREATE_AND_REPLACE);
    }
    ~LibraryServer() {
        kelvo_disconnect(m_conn);
        kelvo_instance_close(m_instance);
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
    LibraryServer(const LibraryServer&) = delete;
    LibraryServer& operator=(const LibraryServer&) = delete;

    kelvo_connection_t* Connection() { return m_conn; }
    // This server's process, for its memory and CPU time.
    pid_t Pid() const { return m_pid; }
    // Another connection to the same database; the caller disconnects it.
    kelvo_connection_t* Connect(kelvo_create_mode_t mode = KELVO_DO_NOT_CREATE) {
        kelvo_parameters_t* parameters = nullptr;
        kelvo_connection_t* conn = nullptr;
        Check(kelvo_create_connection_parameters(m_instance, &parameters), "connection parameters");
        const std::string db = m_dir + "/bench.kelvo";
        Check(kelvo_parameters_set(parameters, "dbname", db.c_str()), "dbname");
        Check(kelvo_connect(parameters, &conn, mode), "connect");
        kelvo_parameters_destroy(parameters);
        return conn;
    }
    const std::string& Directory() const { return m_dir; }
    void Execute(const std::string& sql) { Check(kelvo_execute_command(m_conn, sql.c_str(), nullptr), sql); }

private:
    std::string m_dir;
    kelvo_instance_t* m_instance = nullptr;
    kelvo_connection_t* m_conn = nullptr;
    pid_t m_pid = -1;
};

inline void PrintRatio(const char* road, const char* anchor, double ours, double theirs) {
    std::printf("%-34s %9.3f s  %-30s %9.3f s  speed ratio %.2fx\n", road, ours, anchor, theirs, theirs / ours);
}

}  // namespace sidebyside
