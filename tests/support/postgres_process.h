// Running the binaries of a stock PostgreSQL 15 as the "postgres" account: the machinery that the shared cluster and
// the standby peer have in common.
//
// The server refuses to run as root, so every binary runs in a child that drops root's identity before exec and asks
// for SIGQUIT (the server's immediate shut-down) should the test binary die first.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace kelvotest::pgproc {

// Where Debian's postgresql-15 package keeps the server binaries.
inline constexpr const char* kBinDir = "/usr/lib/postgresql/15/bin";

struct Account {
    uid_t uid;
    gid_t gid;
};

// The "postgres" account; throws when there is none.
Account PostgresAccount();

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);
// Hands path to the account; throws on failure.
void Chown(const std::string& path, const Account& account);

// Runs args as the account with stdin_path (or /dev/null) as input and both output streams appended to log_path;
// returns the child's pid.
pid_t SpawnAsPostgres(const Account& account, const std::vector<std::string>& args, const std::string& stdin_path,
                      const std::string& log_path);
// The exit code, 128 + the signal for a killed child, -1 when unknown.
int WaitForExit(pid_t pid);
// Spawns and waits; a non-zero exit throws with the log.
void RunToCompletion(const Account& account, const std::vector<std::string>& args, const std::string& stdin_path,
                     const std::string& log_path);

// A fresh cluster directory made from a mkdtemp template: root, owned by the account, with "data" (after initdb,
// superuser kelvo_admin, trust) and "socket" below it. Returns the root; the caller removes it (RemoveTree).
std::string MakeCluster(const char* root_template, const Account& account);

// Starts the server on data_dir with the extra settings, then waits until its postmaster.pid reports state (a line such
// as "ready" or "standby"). Throws, with the log, when it exits first or takes more than a minute; the server is then
// already stopped.
pid_t StartServer(const Account& account, const std::string& data_dir, const std::vector<std::string>& settings,
                  const std::string& log_path, const std::string& state);

// Sends signal and waits up to 30 seconds for the server's exit before killing it outright. pid becomes -1; nothing is
// done for -1.
void StopServer(pid_t& pid, int signal);

// Removes the tree and clears root; nothing is done for an empty root.
void RemoveTree(std::string& root);

}  // namespace kelvotest::pgproc
