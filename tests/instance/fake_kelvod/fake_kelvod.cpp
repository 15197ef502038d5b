// A stand-in server that misbehaves on request (--fake-mode, --fake-exit-code) and reports what it saw (--fake-report).
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>

#include "ipc/connection_descriptor.h"
#include "support/local_connection.h"

namespace {

std::string Option(int argc, char** argv, const std::string& name) {
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument.rfind(name + "=", 0) == 0)
            return argument.substr(name.size() + 1);
        if (argument == name && i + 1 < argc)
            return argv[i + 1];
    }
    return "";
}

int ConnectTo(const std::string& text) {
    const auto descriptor = IPC_ConnectionDescriptor::Parse(text);
    if (const auto* domain = dynamic_cast<const IPC_DomainSocketConnectionDescriptor*>(descriptor.get()))
        return kelvotest::ConnectToSocketFile(domain->GetFullName());
    const auto* tcp = dynamic_cast<const IPC_SocketConnectionDescriptor*>(descriptor.get());
    const std::string host = tcp->GetHostName() == "localhost" ? "::1" : tcp->GetHostName();
    return kelvotest::ConnectToAddress(host, tcp->GetPort());
}

void SendAll(int fd, const std::string& bytes) {
    for (size_t sent = 0; sent < bytes.size();) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        sent += static_cast<size_t>(n);
    }
}

// The endpoint it "serves" on: the listen descriptor with "auto" resolved.
std::string ServedEndpoint(const std::string& listen) {
    const size_t at = listen.size() < 4 ? 0 : listen.size() - 4;
    return listen.compare(at, 4, "auto") != 0 ? listen
                                              : listen.substr(0, at) + std::to_string(20000 + ::getpid() % 40000);
}

// Stays until the library has given up on the call-back (it drops the callback listener, whose socket file then goes)
// and a while longer, so that the library sees it still running when it reports the time-out.
void OutliveTheCallbackListener(const std::string& callback) {
    const auto descriptor = IPC_ConnectionDescriptor::Parse(callback);
    if (const auto* domain = dynamic_cast<const IPC_DomainSocketConnectionDescriptor*>(descriptor.get())) {
        struct stat st {};
        while (::lstat(domain->GetFullName().c_str(), &st) == 0)
            ::usleep(20000);
        ::sleep(1);
    } else {
        ::sleep(3);
    }
}

[[noreturn]] void SleepForever() {
    for (;;)
        ::pause();
}

void WriteReport(const std::string& path, int argc, char** argv) {
    // Looked at before anything here opens a descriptor, which would take the lowest free number.
    const bool stdinClosed = ::fcntl(0, F_GETFD) == -1;
    std::set<int> open;
    if (DIR* fds = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(fds))
            if (entry->d_name[0] != '.' && std::atoi(entry->d_name) != ::dirfd(fds))
                open.insert(std::atoi(entry->d_name));
        ::closedir(fds);
    }
    std::ofstream report(path);
    for (int i = 0; i < argc; ++i)
        report << "arg " << argv[i] << "\n";
    for (const int fd : open)
        report << "fd " << fd << "\n";
    report << "pid " << ::getpid() << "\npgid-is-pid " << (::getpgrp() == ::getpid() ? "yes" : "no") << "\nstdin "
           << (stdinClosed ? "closed" : "open") << "\n";
}

void Flood(FILE* stream, char first) {
    for (int i = 0; i < 20000; ++i)
        std::fputc(first + i % 26, stream);
    std::fflush(stream);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = Option(argc, argv, "--fake-mode");
    const int exitCode = std::atoi(Option(argc, argv, "--fake-exit-code").c_str());
    const std::string reportPath = Option(argc, argv, "--fake-report");
    if (!reportPath.empty())
        WriteReport(reportPath, argc, argv);
    if (mode == "report-only")
        return 0;

    if (mode == "exit") {
        std::fprintf(stderr, "fake kelvod exits with %d\n", exitCode);
        return exitCode;
    }
    if (mode == "silent-exit")
        return exitCode;
    if (mode == "flood") {
        Flood(stdout, 'a');
        Flood(stderr, 'A');
        return exitCode;
    }
    if (mode == "stop")
        ::raise(SIGSTOP);
    if (mode == "no-callback") {
        OutliveTheCallbackListener(Option(argc, argv, "--callback-connection"));
        return exitCode;
    }

    const std::string listen = Option(argc, argv, "--listen-connection");
    const int fd = ConnectTo(Option(argc, argv, "--callback-connection"));
    if (fd < 0) {
        std::perror("fake kelvod: connect");
        return 70;
    }
    const std::string endpoint = ServedEndpoint(listen);
    const std::string message = std::string(1, static_cast<char>(endpoint.size())) + endpoint;

    if (mode == "partial") {
        SendAll(fd, message.substr(0, 5));
        ::close(fd);
        return exitCode;
    }
    if (mode == "slow") {
        SendAll(fd, message.substr(0, 1));
        ::usleep(300000);
        SendAll(fd, message.substr(1, 4));
        ::usleep(300000);
        SendAll(fd, message.substr(5));
    } else {
        SendAll(fd, message);
    }

    if (mode == "grandchild") {
        const pid_t grandchild = ::fork();
        if (grandchild == 0)
            SleepForever();
        std::ofstream(reportPath + ".grandchild") << grandchild << "\n";
    }
    if (mode == "ignore-close") {
        ::signal(SIGTERM, SIG_IGN);
        SleepForever();
    }
    for (char byte; ::recv(fd, &byte, 1, 0) > 0;)
        continue;
    std::fprintf(stderr, "fake kelvod stops with %d\n", exitCode);
    return exitCode;
}
