// The server process: spawn, call-back, shut-down and reaping.
//
// The exit of the server is detected without reaping it (waitid WNOWAIT):
// while the leader is a zombie its process id cannot be reused, so the
// process group can still be killed safely; only then is the leader reaped.
#include "instance/kelvo_process.h"
#include "error/context_ids.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/format.hpp>
#include <boost/process/args.hpp>
#include <boost/process/child.hpp>
#include <boost/process/exe.hpp>
#include <boost/process/extend.hpp>
#include <boost/process/group.hpp>
#include <boost/process/io.hpp>
#include <cerrno>
#include <stdexcept>
#include <thread>

#include "error/error.h"
#include "error/system_error_sqlstate.h"
#include "instance/client_side_settings.h"
#include "instance/cpu_check.h"
#include "instance/pipe_driver.h"
#include "instance/server_location.h"
#include "ipc/server_proxy.h"

namespace kelvoapi {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace {

constexpr std::chrono::nanoseconds kDefaultStartupTimeLimit{29'900'000'000};
std::atomic<int64_t> gStartupTimeLimitNs{kDefaultStartupTimeLimit.count()};

void throwOnError(const std::error_code& code, ContextId contextId) {
    if (!code)
        return;
    throw Error(kelvo::make_error_code(kelvo::mapToSqlstate(code, kelvo::Sqlstate::SystemError)), code.message(),
                contextId);
}

void throwErrno(int error, ContextId contextId) {
    throwOnError(std::error_code(error, std::generic_category()), contextId);
}

// An application that ignores SIGCHLD, or reaps every child itself, takes
// the server's exit status away; that is reported as such instead of a
// made-up exit code.
[[noreturn]] void throwExitStatusLost() {
    throw Error(kelvo::make_error_code(kelvo::Sqlstate::SystemError),
                "The exit status of the Kelvo server process is not available: the application ignores SIGCHLD or "
                "reaps child processes itself.",
                ContextIds::ExitStatusLost);
}

int ExitCodeFromStatus(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return WTERMSIG(status);
    return status;
}

// Boost.Process calls this in the child after its own redirections.
struct CloseDescriptorsInChild : boost::process::extend::handler {
    explicit CloseDescriptorsInChild(const posix::close_file_descriptors_except& closer_) : closer(closer_) {}
    template <class Executor>
    void on_exec_setup(Executor&) const {
        closer.CloseInChild();
    }
    // A child whose exec failed has exited at once; it is reaped here, as
    // nothing else knows its process id. When the failure was reading its
    // exec status, the child may be a server that started fine and would
    // never exit: it is killed first, as nobody will ever talk to it.
    template <class Executor>
    void on_error(Executor& exec, const std::error_code&) const {
        if (exec.pid > 0) {
            ::kill(exec.pid, SIGKILL);
            while (::waitpid(exec.pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
    }
    const posix::close_file_descriptors_except& closer;
};

enum class ChildState { NotStarted, Running, Exited, Lost };

}  // namespace

struct KelvoProcess::Impl {
    ~Impl();

    // Whether the server still runs; never reaps.
    ChildState QueryChild(bool block, ContextId contextId);
    // Waits for the exit, kills what is left of the group, then reaps.
    void waitOnChild();
    // At most once per started server: the capture goes with its text.
    std::string flushOutput() {
        std::string text = PipeDriver::flushPipeOutput(pipeDriver);
        pipeDriver.reset();
        return text;
    }
    void CleanUp();

    fs::path executablePath;
    std::unique_ptr<IPC_ServerProxy> callbackProxy;
    fs::path mainDatabasePath;
    bool deleteMainDatabaseOnClose = false;
    pid_t childPid = 0;
    pid_t processGroup = -1;
    std::optional<int> exitCode;
    bool exitStatusLost = false;
    std::optional<PipeDriver> pipeDriver;
    std::string server;
};

ChildState KelvoProcess::Impl::QueryChild(bool block, ContextId contextId) {
    if (childPid <= 0)
        return ChildState::NotStarted;
    if (exitCode)
        return ChildState::Exited;
    if (exitStatusLost)
        return ChildState::Lost;
    siginfo_t info{};
    const int options = WEXITED | WNOWAIT | (block ? 0 : WNOHANG);
    while (::waitid(P_PID, static_cast<id_t>(childPid), &info, options) != 0) {
        if (errno == EINTR)
            continue;
        if (errno == ECHILD) {
            exitStatusLost = true;
            processGroup = -1;
            return ChildState::Lost;
        }
        throwErrno(errno, contextId);
    }
    return info.si_pid == 0 ? ChildState::Running : ChildState::Exited;
}

void KelvoProcess::Impl::waitOnChild() {
    const ChildState state = QueryChild(true, ContextIds::ServerReap);
    if (state != ChildState::Exited || exitCode)
        return;
    // The leader is a zombie now, so its id still names this group.
    if (processGroup != -1) {
        ::killpg(processGroup, SIGKILL);
        processGroup = -1;
    }
    int status = 0;
    while (::waitpid(childPid, &status, 0) < 0) {
        if (errno == EINTR)
            continue;
        if (errno == ECHILD) {
            exitStatusLost = true;
            return;
        }
        throwErrno(errno, ContextIds::ServerReap);
    }
    exitCode = ExitCodeFromStatus(status);
}

void KelvoProcess::Impl::CleanUp() {
    if (deleteMainDatabaseOnClose && !mainDatabasePath.filename().empty()) {
        const auto removeRegularFile = [](const fs::path& path) {
            std::error_code ignored;
            if (fs::is_regular_file(fs::symlink_status(path, ignored)))
                fs::remove(path, ignored);
        };
        removeRegularFile(mainDatabasePath);
        fs::path log = mainDatabasePath;
        removeRegularFile(log.replace_extension("dblog"));
    }
}

KelvoProcess::Impl::~Impl() {
    // A server still running here (a failed start that was not shut down)
    // is killed and reaped, leaving no zombie behind.
    try {
        if (QueryChild(false, ContextIds::ServerRunningQuery) == ChildState::Running && processGroup != -1) {
            ::killpg(processGroup, SIGKILL);
            processGroup = -1;
        }
        waitOnChild();
    } catch (const Error&) {  // an unexpected errno of waitid or waitpid
    } catch (const std::exception&) {
    }
    pipeDriver.reset();
    try {
        callbackProxy.reset();
    } catch (const Error&) {
    } catch (const std::exception&) {
    }
}

KelvoProcess::KelvoProcess(const fs::path& directory) {
    CheckProcessor();
    m_impl = std::make_unique<Impl>();
    m_impl->executablePath = directory / getKelvoExecutableFilename(false);
}

KelvoProcess::~KelvoProcess() {
    try {
        Shutdown(milliseconds(5000));
    } catch (...) {
    }
    m_impl.reset();
}

const std::string& KelvoProcess::GetConnectionDescriptor() const {
    static const std::string empty;
    return m_impl ? m_impl->server : empty;
}

pid_t KelvoProcess::GetProcessId() const { return m_impl ? m_impl->childPid : 0; }

namespace {

std::unique_ptr<IPC_ConnectionDescriptor> ParseDescriptor(std::string_view text) {
    try {
        return IPC_ConnectionDescriptor::Parse(text);
    } catch (const std::invalid_argument& e) {
        throw Error(kelvo::make_error_code(kelvo::Sqlstate::InvalidParameterValue), e.what(),
                    ContextIds::BadDescriptor);
    }
}

}  // namespace

void KelvoProcess::Start(const Parameters& parameters) {
    Impl& impl = *m_impl;
    std::error_code statusError;
    const fs::file_status status = fs::status(impl.executablePath, statusError);
    if (status.type() == fs::file_type::not_found || status.type() == fs::file_type::none) {
        throw Error(kelvo::make_error_code(kelvo::Sqlstate::UndefinedFile),
                    "The Kelvo executable \"" + impl.executablePath.string() + "\" does not exist.",
                    ContextIds::ExecutableMissing);
    }

    const bool haveCallback = parameters.ContainsKey("callback_connection");
    const bool haveListen = parameters.ContainsKey("listen_connection");
    std::unique_ptr<IPC_ConnectionDescriptor> generatedListen;
    std::unique_ptr<IPC_ConnectionDescriptor> generatedCallback;
    if (!haveCallback || !haveListen) {
        const auto [useTcp, port] = GetUseTcpValue(parameters);
        if (useTcp) {
            generatedListen = std::make_unique<IPC_SocketConnectionDescriptor>("localhost", port);
            // A fixed port is the server's; the call-back takes any free one,
            // or both would bind the same port.
            generatedCallback = std::make_unique<IPC_SocketConnectionDescriptor>("localhost", 0);
        } else {
            std::string directory(parameters.Get(getClientSideSettingName(ClientSideSetting::DomainSocketDirectory)));
            if (directory.empty())
                directory = "/tmp";
            // The wire-protocol client takes a host for a socket directory
            // only when it begins with '/'.
            directory = fs::absolute(directory).lexically_normal().string();
            if (directory.size() > 1 && directory.back() == '/')
                directory.pop_back();
            generatedListen = std::make_unique<IPC_DomainSocketConnectionDescriptor>(directory, "auto");
            generatedCallback = generatedListen->clone();
        }
    }
    auto callbackDescriptor =
        haveCallback ? ParseDescriptor(parameters.Get("callback_connection")) : std::move(generatedCallback);
    auto listenDescriptor =
        haveListen ? ParseDescriptor(parameters.Get("listen_connection")) : std::move(generatedListen);

    impl.callbackProxy = IPC_ServerProxy::MakeProxy(*callbackDescriptor);
    const auto proxyDescriptor = impl.callbackProxy->GetProxyDescriptor();
    auto [arguments, mainDatabasePath] =
        GenerateKelvoCommandLineArguments(*proxyDescriptor, *listenDescriptor, parameters);
    impl.mainDatabasePath = mainDatabasePath;
    impl.deleteMainDatabaseOnClose =
        parameters.Get(getClientSideSettingName(ClientSideSetting::AutoDeleteDatabases)) == "true";
    const std::vector<std::string> command = generateCommand(impl.executablePath, arguments);
    const bool capture = !parameters.ContainsKey(getClientSideSettingName(ClientSideSetting::CaptureOutputStreams));

    namespace bp = boost::process;
    try {
        const posix::close_file_descriptors_except closer{1, 2};
        bp::group group;
        bp::child child;
        // Reported through the code rather than thrown, so that the handlers'
        // on_error runs and reaps a child whose exec failed.
        std::error_code spawnError;
        if (capture) {
            impl.pipeDriver.reset();
            impl.pipeDriver.emplace();
            child = bp::child(bp::exe = impl.executablePath.string(), bp::args = arguments, group,
                              bp::std_out > impl.pipeDriver->StdOutPipe(), bp::std_err > impl.pipeDriver->StdErrPipe(),
                              CloseDescriptorsInChild(closer), spawnError);
        } else {
            child = bp::child(bp::exe = impl.executablePath.string(), bp::args = arguments, group,
                              CloseDescriptorsInChild(closer), spawnError);
        }
        // A failure before the fork (of the pipe that carries the exec
        // status) reaches neither the code nor on_error: the child is
        // merely invalid, with the failure's errno left behind.
        if (!spawnError && !child.valid())
            spawnError = std::error_code(errno != 0 ? errno : EAGAIN, std::system_category());
        if (spawnError)
            throw std::system_error(spawnError, "spawn");
        // From here on this object waits for, kills and reaps the server.
        impl.childPid = child.id();
        impl.processGroup = impl.childPid;
        child.detach();
        group.detach();
    } catch (const std::system_error& e) {
        Error error(
            kelvo::make_error_code(kelvo::mapToSqlstate(e.code(), kelvo::Sqlstate::SystemError)),
            (boost::format("Could not spawn the Kelvo server process %1%.") % impl.executablePath.string()).str(),
            ContextIds::SpawnFailed);
        error.SetHint("Make sure the Kelvo executable exists and has execution permissions.");
        error.SetCause(MakeError(e, ContextIds::SpawnFailedCause));
        throw error;
    }

    try {
        WaitForCallBack(command);
    } catch (...) {
        // A server that failed to start is killed and reaped at once, not
        // given the shut-down's grace period on top of the start-up limit:
        // it may be stopped, or stuck where it will never read the close.
        // Its exit status stays for Shutdown to report.
        try {
            Kill();
        } catch (...) {
        }
        throw;
    }
}

void KelvoProcess::WaitForCallBack(const std::vector<std::string>& command) {
    Impl& impl = *m_impl;
    const auto limit = StartupTimeLimit();
    const auto start = steady_clock::now();
    impl.callbackProxy->SetExpectedPeer(impl.childPid);
    impl.callbackProxy->SetReceiveDeadline(start + limit);
    for (;;) {
        const auto elapsed = steady_clock::now() - start;
        bool called = false;
        try {
            called = impl.callbackProxy->WaitForServer(100, elapsed < limit);
        } catch (const std::exception&) {
        }
        if (called)
            break;
        const ChildState state = impl.QueryChild(false, ContextIds::ServerRunningQuery);
        if (state == ChildState::Lost)
            throwExitStatusLost();
        if (state == ChildState::Exited) {
            impl.waitOnChild();
            throw Error(kelvo::make_error_code(kelvo::Sqlstate::GeneralError),
                        (boost::format("The Kelvo server process exited during startup with exit code: "
                                       "%1%\nCommand-line: \"%2%\"\n%3%") %
                         impl.exitCode.value_or(-1) % commandToString(command) % impl.flushOutput())
                            .str(),
                        ContextIds::ExitedDuringStartup);
        }
        if (elapsed >= limit) {
            throw Error(kelvo::make_error_code(kelvo::Sqlstate::SqlclientUnableToEstablishSqlconnection),
                        (boost::format("The Kelvo server did not call back on the callback connection: process id: "
                                       "%1%\nCommand-line: \"%2%\"\n%3%") %
                         impl.childPid % commandToString(command) % impl.flushOutput())
                            .str(),
                        ContextIds::NoCallBack);
        }
    }
    impl.server = impl.callbackProxy->GetServerDescriptor()->str();
}

bool KelvoProcess::Kill() {
    Impl& impl = *m_impl;
    bool killed = false;
    if (impl.QueryChild(false, ContextIds::ServerRunningQuery) == ChildState::Running && impl.processGroup != -1) {
        if (::killpg(impl.processGroup, SIGKILL) != 0)
            throwErrno(errno, ContextIds::ServerKillGroup);
        impl.processGroup = -1;
        killed = true;
    }
    impl.waitOnChild();
    return killed;
}

bool KelvoProcess::WaitOrKill(milliseconds timeout) {
    Impl& impl = *m_impl;
    if (timeout.count() == 0)
        return Kill();
    if (impl.callbackProxy) {
        try {
            impl.callbackProxy->Close();
            impl.callbackProxy.reset();
        } catch (const std::exception&) {
        }
    }
    const auto start = steady_clock::now();
    if (timeout.count() < 0) {
        impl.waitOnChild();
        return false;
    }
    // A process descriptor becomes readable the moment the server exits, so a
    // close waits no longer than the server takes; without one (old kernels)
    // the exit is looked for every 10 ms. The leader is not reaped yet, so its
    // id cannot name another process here.
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, impl.childPid, 0));
    for (;;) {
        const auto elapsed = std::chrono::duration_cast<milliseconds>(steady_clock::now() - start);
        if (elapsed >= timeout)
            break;
        const ChildState state = impl.QueryChild(false, ContextIds::ServerWaitQuery);
        if (state != ChildState::Running) {
            if (pidfd >= 0)
                ::close(pidfd);
            impl.waitOnChild();
            return false;
        }
        if (pidfd >= 0) {
            pollfd p{pidfd, POLLIN, 0};
            ::poll(&p, 1, static_cast<int>((timeout - elapsed).count()));
        } else {
            std::this_thread::sleep_for(std::min(timeout - elapsed, milliseconds(10)));
        }
    }
    if (pidfd >= 0)
        ::close(pidfd);
    return Kill();
}

std::optional<int> KelvoProcess::getExitCode() {
    if (!m_impl)
        return std::nullopt;
    Impl& impl = *m_impl;
    const ChildState state = impl.QueryChild(false, ContextIds::ServerRunningQuery);
    if (state == ChildState::Running || state == ChildState::NotStarted)
        return std::nullopt;
    if (state == ChildState::Lost)
        throwExitStatusLost();
    impl.waitOnChild();
    if (!impl.exitCode)
        throwExitStatusLost();
    return impl.exitCode;
}

void KelvoProcess::Shutdown(milliseconds timeout) {
    if (!m_impl)
        return;
    try {
        const bool killed = WaitOrKill(timeout);
        if (timeout.count() != 0) {
            if (killed) {
                throw Error(kelvo::make_error_code(kelvo::Sqlstate::TimeoutExpired),
                            "The Kelvo process took longer than " + std::to_string(timeout.count()) +
                                " milliseconds to shut down, and was terminated forcefully.\n" + m_impl->flushOutput(),
                            ContextIds::ShutdownTimedOut);
            }
            if (m_impl->childPid > 0) {
                if (!m_impl->exitCode)
                    throwExitStatusLost();
                const int code = *m_impl->exitCode;
                if (code != 0) {
                    Error error(kelvo::make_error_code(kelvo::Sqlstate::GeneralError),
                                "The Kelvo server terminated with exit code " + std::to_string(code) + ".\n" +
                                    m_impl->flushOutput(),
                                ContextIds::ExitCodeNotZero);
                    error.SetCause(
                        Error(std::error_code(code, process_exit_code_category()), "", ContextIds::ExitCodeCause));
                    throw error;
                }
            }
        }
    } catch (...) {
        m_impl->CleanUp();
        m_impl.reset();
        throw;
    }
    m_impl->CleanUp();
    m_impl.reset();
}

std::vector<std::string> generateCommand(const fs::path& executable, const CommandLineArguments& arguments) {
    std::vector<std::string> command;
    command.reserve(arguments.size() + 1);
    command.push_back(executable.string());
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

std::string commandToString(const std::vector<std::string>& command) {
    std::string text;
    for (const std::string& element : command) {
        if (!text.empty())
            text += ' ';
        text += element;
    }
    return text;
}

namespace posix {

close_file_descriptors_except::close_file_descriptors_except(std::initializer_list<int> keep) : exceptionFds(keep) {
    std::sort(exceptionFds.begin(), exceptionFds.end());
    exceptionFds.erase(std::unique(exceptionFds.begin(), exceptionFds.end()), exceptionFds.end());
    errno = 0;
    const long openMax = ::sysconf(_SC_OPEN_MAX);
    if (openMax == -1 && errno == EINVAL)
        throw std::system_error(errno, std::system_category());
    maxFd = openMax == -1 ? 32768 : static_cast<int>(openMax);
}

void close_file_descriptors_except::CloseInChild() const noexcept {
    // The descriptors are marked close-on-exec rather than closed at once:
    // the spawn reports a failed exec through a descriptor of its own that
    // must live until the exec, and is close-on-exec already.
    constexpr unsigned kCloseRangeCloexec = 1u << 2;
    int from = 0;
    const auto closeRange = [](int first, int last) {
        if (first > last)
            return;
#ifdef SYS_close_range
        if (::syscall(SYS_close_range, static_cast<unsigned>(first), static_cast<unsigned>(last), kCloseRangeCloexec) ==
            0)
            return;
#endif
        for (int fd = first; fd <= last; ++fd)
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    };
    for (const int kept : exceptionFds) {
        closeRange(from, std::min(kept - 1, maxFd));
        from = kept + 1;
    }
    closeRange(from, maxFd);
}

}  // namespace posix

std::chrono::nanoseconds StartupTimeLimit() { return std::chrono::nanoseconds(gStartupTimeLimitNs.load()); }

void SetStartupTimeLimitForTesting(std::chrono::nanoseconds limit) {
    gStartupTimeLimitNs.store(limit.count() == 0 ? kDefaultStartupTimeLimit.count() : limit.count());
}

}  // namespace kelvoapi
