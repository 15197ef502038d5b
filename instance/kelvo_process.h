// KelvoProcess: one local server process, from the spawn to the reaping.
// It listens for the server's call-back, spawns the server in a process
// group of its own, learns the endpoint the server serves on, and at
// shut-down closes the callback connection, waits with a time-out, kills
// what is left of the group, reaps, and reports a late or failed exit.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "instance/client_side_settings.h"
#include "instance/command_line.h"
#include "instance/parameters.h"

namespace kelvoapi {

class KelvoProcess {
public:
    // Runs the processor check; throws kelvoapi::Error.
    explicit KelvoProcess(const std::filesystem::path& directory);
    KelvoProcess(const KelvoProcess&) = delete;
    KelvoProcess& operator=(const KelvoProcess&) = delete;
    // Shutdown(5000 ms), every error swallowed.
    ~KelvoProcess();

    // Spawns the server and waits for its call-back; throws kelvoapi::Error.
    void Start(const Parameters& parameters);
    // The endpoint descriptor text the server called back with; empty before.
    const std::string& GetConnectionDescriptor() const;
    // 0 kills at once and reports nothing; negative waits without limit;
    // positive waits that long, then kills and reports HYT00. Runs once.
    void Shutdown(std::chrono::milliseconds timeout);
    // True when the group had to be killed.
    bool WaitOrKill(std::chrono::milliseconds timeout);
    // True when the server still ran and its group was killed.
    bool Kill();
    // Empty while the server runs; its exit status or ending signal after.
    std::optional<int> getExitCode();
    // The server's process id; 0 before the spawn and after the shut-down.
    pid_t GetProcessId() const;

    // The instance parameters this library reads itself and never passes on.
    static const std::string& getClientSideSettingName(ClientSideSetting setting) {
        return kelvoapi::getClientSideSettingName(setting);
    }
    static bool isClientSideSettingName(std::string_view name) { return kelvoapi::isClientSideSettingName(name); }

    struct Impl;

private:
    void WaitForCallBack(const std::vector<std::string>& command);

    std::unique_ptr<Impl> m_impl;
};

// The executable path followed by the arguments.
std::vector<std::string> generateCommand(const std::filesystem::path& executable,
                                         const CommandLineArguments& arguments);
// Joined by single blanks, unquoted; for error messages only.
std::string commandToString(const std::vector<std::string>& command);

namespace posix {

// Closes, at the child's exec, every descriptor up to maxFd that is not kept.
// close_range does it in a few calls; the loop is the fall-back for kernels
// without it.
struct close_file_descriptors_except {
    close_file_descriptors_except(std::initializer_list<int> keep);
    // Runs in the child between fork and exec: no allocation, no locks.
    void CloseInChild() const noexcept;

    int maxFd;
    std::vector<int> exceptionFds;  // sorted
};

}  // namespace posix

// How long Start waits for the call-back; 29.9 s unless a test shortens it.
std::chrono::nanoseconds StartupTimeLimit();
// Zero restores the default.
void SetStartupTimeLimitForTesting(std::chrono::nanoseconds limit);

}  // namespace kelvoapi
