#include "ipc/server_proxy.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "support/local_connection.h"
#include "support/scoped_temp_directory.h"

namespace {

using kelvotest::ScopedTempDirectory;

int ConnectDomain(const std::string& path) {
    const int fd = kelvotest::ConnectToSocketFile(path);
    EXPECT_GE(fd, 0) << path;
    return fd;
}

void Send(int fd, const std::string& bytes) {
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

std::string Message(const std::string& text) { return std::string(1, static_cast<char>(text.size())) + text; }

// The peer sees the end of the connection (a reset when bytes were left unread) and closes its end.
void ExpectEndAndClose(int fd) {
    char byte;
    EXPECT_LE(::recv(fd, &byte, 1, 0), 0);
    ::close(fd);
}

std::string SocketPath(const IPC_ServerProxy& proxy) {
    auto descriptor = proxy.GetProxyDescriptor();
    return dynamic_cast<IPC_DomainSocketConnectionDescriptor&>(*descriptor).GetFullName();
}

struct Proxy {
    ScopedTempDirectory directory;
    IPC_ServerProxyPtr proxy =
        IPC_ServerProxy::MakeProxy(IPC_DomainSocketConnectionDescriptor(directory.path().string(), "auto"));
};

TEST(CallbackListener, ReadsTheServersDescriptorAndSurvivesBadMessages) {
    const std::string longest = "pel.domain:///d/domain/" + std::string(255 - 23, 'n');
    const struct {
        std::string bytes;
        std::string expected;  // the descriptor read, or a part of the error
        bool byteByByte = false;
    } cases[] = {
        {Message(longest), longest},
        // The text ends at its first zero byte; bytes after the message are not read.
        {Message(std::string("pel.tcp://127.0.0.1:5432\0x", 26)) + "junk", "pel.tcp://127.0.0.1:5432"},
        {Message("pel.tcp://[::1]:7"), "pel.tcp://[::1]:7", true},
        {Message(""), "Invalid connection string"},
        {Message("pel.tcp://127.0.0.1:5432").substr(0, 5),
         "The connection was closed by the peer in IPC_Socket::Recv(len="},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        Proxy p;
        p.proxy->SetExpectedPeer(::getpid());
        const int fd = ConnectDomain(SocketPath(*p.proxy));
        std::thread sender([&] {
            for (size_t at = 0; at < c.bytes.size(); at += c.byteByByte ? 1 : c.bytes.size()) {
                Send(fd, c.bytes.substr(at, c.byteByByte ? 1 : std::string::npos));
                std::this_thread::sleep_for(std::chrono::milliseconds(c.byteByByte ? 2 : 0));
            }
            if (c.expected.rfind("The connection was closed", 0) == 0)
                ::shutdown(fd, SHUT_WR);
        });
        std::string outcome;
        try {
            EXPECT_TRUE(p.proxy->WaitForServer(10000, true));
            outcome = p.proxy->GetServerDescriptor() ? p.proxy->GetServerDescriptor()->str() : "(none)";
        } catch (const std::exception& e) {
            outcome = e.what();
            EXPECT_FALSE(p.proxy->GetServerDescriptor());
            // A later, good call-back is still accepted.
            const int second = ConnectDomain(SocketPath(*p.proxy));
            Send(second, Message("pel.tcp://127.0.0.1:1"));
            EXPECT_TRUE(p.proxy->WaitForServer(10000, true));
            ::close(second);
        }
        sender.join();
        EXPECT_EQ(outcome.substr(0, c.expected.size()), c.expected);
        // The listener is gone once called back.
        EXPECT_FALSE(p.proxy->WaitForServer(-1, true));
        // Closing the callback connection is the server's signal to stop.
        p.proxy->Close();
        ExpectEndAndClose(fd);
    }
}

TEST(CallbackListener, WaitsOnlyAsAsked) {
    Proxy p;
    EXPECT_FALSE(p.proxy->WaitForServer(-1, true));
    const std::string path = SocketPath(*p.proxy);
    EXPECT_FALSE(p.proxy->WaitForServer(50, false));
    // The listener was dropped with its socket file; nothing waits any more.
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_FALSE(p.proxy->WaitForServer(0, true));
}

TEST(CallbackListener, SilentPeerIsDroppedAtTheDeadline) {
    Proxy p;
    p.proxy->SetReceiveDeadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(100));
    const int fd = ConnectDomain(SocketPath(*p.proxy));
    EXPECT_THROW(p.proxy->WaitForServer(10000, true), IPC_Socket::socket_closed);
    ExpectEndAndClose(fd);
}

TEST(CallbackListener, CallBackFromAnotherProcessIsRefused) {
    Proxy p;
    p.proxy->SetExpectedPeer(::getpid() + 1);
    const int fd = ConnectDomain(SocketPath(*p.proxy));
    Send(fd, Message("pel.tcp://127.0.0.1:5432"));
    EXPECT_FALSE(p.proxy->WaitForServer(10000, true));
    EXPECT_FALSE(p.proxy->GetServerDescriptor());
    ExpectEndAndClose(fd);
}

// The expected process, but under another user: refused all the same. The
// socket file is opened up first, so that only the listener's own check
// stands in the way.
TEST(CallbackListener, CallBackFromAnotherUserIsRefused) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "switching users needs root";
    Proxy p;
    const std::string path = SocketPath(*p.proxy);
    ASSERT_EQ(::chmod(p.directory.path().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
    const std::string message = Message("pel.tcp://127.0.0.1:5432");
    int release[2];
    ASSERT_EQ(::pipe(release), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        // Only system calls from here: the parent has other threads.
        ::close(release[1]);
        if (::setuid(65534) != 0)
            ::_exit(2);
        const int fd = kelvotest::ConnectToSocketFile(path);
        if (fd < 0)
            ::_exit(3);
        // The listener may have refused and dropped the connection already.
        (void)::send(fd, message.data(), message.size(), MSG_NOSIGNAL);
        char byte;
        (void)::read(release[0], &byte, 1);
        ::_exit(0);
    }
    ::close(release[0]);
    p.proxy->SetExpectedPeer(child);
    EXPECT_FALSE(p.proxy->WaitForServer(10000, true));
    EXPECT_FALSE(p.proxy->GetServerDescriptor());
    ::close(release[1]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(CallbackListener, DescriptorsHandedToTheServer) {
    // An empty host listens on loopback only.
    for (const char* host : {"localhost", ""}) {
        auto tcp = IPC_ServerProxy::MakeProxy(IPC_SocketConnectionDescriptor(host, 0));
        const std::string text = tcp->GetProxyDescriptor()->str();
        EXPECT_TRUE(std::regex_match(text, std::regex("pel\\.tcp://(\\[::1\\]|127\\.0\\.0\\.1):[1-9][0-9]*"))) << text;
    }
    EXPECT_THROW(IPC_ServerProxy::MakeProxy(IPC_NamedPipeConnectionDescriptor("name")), std::range_error);
}

}  // namespace
