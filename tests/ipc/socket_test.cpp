#include "ipc/socket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <regex>
#include <thread>

#include "support/local_connection.h"
#include "support/scoped_temp_directory.h"

namespace {

using kelvotest::ScopedTempDirectory;

// A client end connected by plain system calls, closed with the object.
struct Client {
    explicit Client(int descriptor) : fd(descriptor) { EXPECT_GE(fd, 0); }
    Client(const Client&) = delete;
    ~Client() { ::close(fd); }
    void Send(const std::string& bytes) const {
        ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }
    int fd;
};

// Listens on every loopback address, which is reported as "::1".
unsigned short ListenOnLoopback(IPC_Socket& listener) {
    listener.Listen(0, "", true, true, true);
    std::string ip;
    unsigned short port = 0;
    listener.GetMyEndpoint(ip, port);
    EXPECT_EQ(ip, "::1");
    return port;
}

template <typename Body>
std::string ExceptionText(Body body) {
    try {
        body();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "no exception";
}

TEST(SocketListen, RemoteHostsAreRefused) {
    const std::pair<const char*, std::string> cases[] = {
        {"myhost", "cannot bind listener to invalid hostname: myhost, "},
        {"10.1.2.3", "cannot bind to remote IP:10.1.2.3, "},
        {"2001:db8::1", "cannot bind to remote IP:2001:db8::1, "}};
    for (const auto& [host, prefix] : cases) {
        IPC_Socket socket;
        const std::string text = ExceptionText([&, host = host] { socket.Listen(0, host, false, true, true); });
        EXPECT_EQ(text.substr(0, prefix.size()), prefix) << text;
        EXPECT_FALSE(socket.IsListening());
    }
}

std::string ProcessUmask() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("Umask:", 0) == 0)
            return line;
    return "";
}

// The application's other threads may create files while a listener binds:
// the process-wide umask is never changed under them.
TEST(SocketListen, BindingLeavesTheProcessUmaskAlone) {
    ScopedTempDirectory directory;
    const std::string before = ProcessUmask();
    ASSERT_FALSE(before.empty());
    std::atomic<bool> done{false};
    std::atomic<int> changes{0};
    std::thread watcher([&] {
        while (!done)
            if (ProcessUmask() != before)
                ++changes;
    });
    for (int i = 0; i < 200; ++i) {
        IPC_Socket socket;
        socket.Listen(directory.path().string(), "auto", false);
        const std::string name = socket.GetDescriptor()->GetDomainName();
        ASSERT_TRUE(std::regex_match(name, std::regex("[0-9a-f]{32}"))) << name;
    }
    done = true;
    watcher.join();
    EXPECT_EQ(changes.load(), 0);
}

// A socket file left behind by a listener that is gone is replaced by a
// private one, which goes with its listener; other files are never replaced.
TEST(SocketListen, StaleSocketIsReplacedPrivatelyButOtherFilesAreNot) {
    ScopedTempDirectory directory;
    {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", (directory.path() / "stale").c_str());
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::close(fd);
    }
    IPC_Socket socket;
    EXPECT_NO_THROW(socket.Listen(directory.path().string(), "stale", false));
    EXPECT_TRUE(socket.IsListening());
    const std::string path = socket.GetDescriptor()->GetFullName();
    EXPECT_EQ(path, (directory.path() / "stale").string());
    struct stat st {};
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    socket.Disconnect();
    EXPECT_NE(::lstat(path.c_str(), &st), 0);

    const std::string regular = (directory.path() / "regular").string();
    std::ofstream(regular) << "keep me";
    IPC_Socket other;
    const std::string text = ExceptionText([&] { other.Listen(directory.path().string(), "regular", false); });
    EXPECT_EQ(text.rfind("An error has occurred while binding to unix domain socket: ", 0), 0u) << text;
    std::string content;
    std::getline(std::ifstream(regular), content);
    EXPECT_EQ(content, "keep me");
}

// The callback listener trusts a TCP peer only when it comes from loopback.
// Against a dual-stack listener an IPv4 peer arrives as an IPv4-mapped IPv6
// address, which is loopback all the same. (Only loopback addresses are
// tried: tests send nothing to any other address.)
TEST(SocketPeer, LoopbackPeersAreRecognisedInEveryForm) {
    IPC_Socket listener;
    const unsigned short port = ListenOnLoopback(listener);
    for (const char* address : {"::1", "127.0.0.1", "127.0.0.2"}) {
        Client client(kelvotest::ConnectToAddress(address, port));
        EXPECT_TRUE(listener.Accept()->PeerIsLoopback()) << address;
    }
}

std::atomic<int> gFailedAccepts{0};

int AcceptWithoutDescriptors(int, sockaddr*, socklen_t*, int) {
    ++gFailedAccepts;
    errno = EMFILE;
    return -1;
}

// With no descriptor left, accepting fails; the listener waits a little
// before it tries again, instead of keeping the loop thread busy, and takes
// the connection once descriptors are free.
TEST(SocketListen, AcceptBacksOffAndRecoversWhenDescriptorsRunOut) {
    IPC_Socket listener;
    const unsigned short port = ListenOnLoopback(listener);
    gFailedAccepts = 0;
    IPC_SetAcceptFunctionForTesting(&AcceptWithoutDescriptors);
    Client client(kelvotest::ConnectToAddress("::1", port));
    const bool queuedWhileFailing = IPC_Socket::WaitForActivity({&listener}, 300);
    IPC_SetAcceptFunctionForTesting(nullptr);
    EXPECT_FALSE(queuedWhileFailing);
    EXPECT_GE(gFailedAccepts.load(), 1);
    // 100 ms apart: a handful in 300 ms, where retrying at once makes thousands.
    EXPECT_LE(gFailedAccepts.load(), 10);

    EXPECT_TRUE(IPC_Socket::WaitForActivity({&listener}, 10000));
    IPC_SocketPtr accepted = listener.Accept();
    client.Send("x");
    char byte = 0;
    EXPECT_EQ(accepted->Recv(&byte, 1, 10000), 1u);
    EXPECT_EQ(byte, 'x');
}

// Closing a listener ends a wait for its next connection, however the two
// threads meet: before the wait began or during it.
TEST(SocketActivity, DisconnectEndsAWaitingAccept) {
    for (int round = 0; round < 20; ++round) {
        IPC_Socket listener;
        listener.Listen(0, "localhost", false, true, true);
        std::string text;
        std::thread acceptor([&] { text = ExceptionText([&] { listener.Accept(); }); });
        if (round % 2 == 1)
            std::this_thread::yield();
        listener.Disconnect();
        acceptor.join();
        EXPECT_EQ(text, "socket not listening (socket::accept)");
        EXPECT_FALSE(IPC_Socket::WaitForActivity({&listener}, 0));
    }
}

TEST(SocketReceive, DisconnectWakesABlockedReceive) {
    IPC_Socket listener;
    const Client client(kelvotest::ConnectToAddress("::1", ListenOnLoopback(listener)));
    const IPC_SocketPtr accepted = listener.Accept();
    std::string text;
    std::thread receiver([&] {
        char buffer[4];
        text = ExceptionText([&] { accepted->Recv(buffer, sizeof buffer); });
    });
    while (!accepted->IsReceiving())
        std::this_thread::yield();
    accepted->Disconnect();
    receiver.join();
    EXPECT_EQ(text, "Socket closed while receiving.");
    EXPECT_FALSE(accepted->IsConnected());
}

}  // namespace
