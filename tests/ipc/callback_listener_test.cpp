// Endpoint descriptors, the callback listener and the sockets under it.
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>

#include "ipc/connection_descriptor.h"
#include "ipc/server_proxy.h"
#include "ipc/socket.h"
#include "support/local_connection.h"
#include "support/scoped_temp_directory.h"
#include "support/thrown_error.h"

namespace {

using kelvotest::ScopedTempDirectory;
using kelvotest::Thrown;

void Send(int fd, const std::string& bytes) {
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

// A client end connected by plain system calls, closed with the object.
struct Client {
    explicit Client(int descriptor) : fd(descriptor) { EXPECT_GE(fd, 0); }
    Client(const Client&) = delete;
    ~Client() { ::close(fd); }
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

TEST(SocketListen, RemoteHostsAreRefused) {
    const std::pair<const char*, std::string> cases[] = {
        {"myhost", "cannot bind listener to invalid hostname: myhost, "},
        {"10.1.2.3", "cannot bind to remote IP:10.1.2.3, "}};
    for (const auto& [host, prefix] : cases) {
        IPC_Socket socket;
        const std::string text = Thrown([&, host = host] { socket.Listen(0, host, false, true, true); });
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

// The application's other threads may create files while a listener binds: the process-wide umask is never changed
// under them.
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

// A socket file left behind by a listener that is gone is replaced by a private one, which goes with its listener;
// other files are never replaced.
TEST(SocketListen, StaleSocketIsReplacedPrivatelyButOtherFilesAreNot) {
    ScopedTempDirectory directory;
    ::close(kelvotest::ListenUnix((directory.path() / "stale").string()));
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
    const std::string text = Thrown([&] { other.Listen(directory.path().string(), "regular", false); });
    EXPECT_EQ(text.rfind("An error has occurred while binding to unix domain socket: ", 0), 0u) << text;
    std::string content;
    std::getline(std::ifstream(regular), content);
    EXPECT_EQ(content, "keep me");
}

// The callback listener trusts a TCP peer only when it comes from loopback. Against a dual-stack listener an IPv4 peer
// arrives as an IPv4-mapped IPv6 address, which is loopback all the same. (Only loopback addresses are tried: tests
// send nothing to any other address.)
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

// With no descriptor left, accepting fails; the listener waits a little before it tries again, instead of keeping the
// loop thread busy, and takes the connection once descriptors are free.
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
    Send(client.fd, "x");
    char byte = 0;
    EXPECT_EQ(accepted->Recv(&byte, 1, 10000), 1u);
    EXPECT_EQ(byte, 'x');
}

// Closing a listener ends a wait for its next connection, however the two threads meet: before the wait began or during
// it; closing a connection wakes a receive blocked on it.
TEST(SocketActivity, DisconnectEndsWaitingAcceptsAndReceives) {
    for (int round = 0; round < 20; ++round) {
        IPC_Socket listener;
        listener.Listen(0, "localhost", false, true, true);
        std::string text;
        std::thread acceptor([&] { text = Thrown([&] { listener.Accept(); }); });
        if (round % 2 == 1)
            std::this_thread::yield();
        listener.Disconnect();
        acceptor.join();
        EXPECT_EQ(text, "socket not listening (socket::accept)");
        EXPECT_FALSE(IPC_Socket::WaitForActivity({&listener}, 0));
    }

    IPC_Socket listener;
    const Client client(kelvotest::ConnectToAddress("::1", ListenOnLoopback(listener)));
    const IPC_SocketPtr accepted = listener.Accept();
    std::string text;
    std::thread receiver([&] {
        char buffer[4];
        text = Thrown([&] { accepted->Recv(buffer, sizeof buffer); });
    });
    while (!accepted->IsReceiving())
        std::this_thread::yield();
    accepted->Disconnect();
    receiver.join();
    EXPECT_EQ(text, "Socket closed while receiving.");
    EXPECT_FALSE(accepted->IsConnected());
}

int ConnectDomain(const std::string& path) {
    const int fd = kelvotest::ConnectToSocketFile(path);
    EXPECT_GE(fd, 0) << path;
    return fd;
}

std::string Message(const std::string& text) { return std::string(1, static_cast<char>(text.size())) + text; }

// The peer sees the end of the connection (a reset when bytes were left unread) and closes its end.
void ExpectEndAndClose(int fd) {
    char byte;
    EXPECT_LE(::recv(fd, &byte, 1, 0), 0);
    ::close(fd);
}

std::string SocketPath(const IPC_ServerProxy& proxy) {
    return dynamic_cast<IPC_DomainSocketConnectionDescriptor&>(*proxy.GetProxyDescriptor()).GetFullName();
}

struct Proxy {
    ScopedTempDirectory directory;
    IPC_ServerProxyPtr proxy =
        IPC_ServerProxy::MakeProxy(IPC_DomainSocketConnectionDescriptor(directory.path().string(), "auto"));
};

TEST(CallbackListener, ReadsTheServersDescriptorAndSurvivesBadMessages) {
    const std::string longest = "pel.domain:///d/domain/" + std::string(255 - 23, 'n');
    // The bytes sent, whether one at a time, the descriptor read or the start of the error.
    const std::tuple<std::string, bool, std::string> cases[] = {
        {Message(longest), false, longest},
        // The text ends at its first zero byte; bytes after the message are not read.
        {Message(std::string("pel.tcp://127.0.0.1:5432\0x", 26)) + "junk", false, "pel.tcp://127.0.0.1:5432"},
        {Message("pel.tcp://[::1]:7"), true, "pel.tcp://[::1]:7"},
        {Message(""), false, "Invalid connection string"},
        {Message("pel.tcp://127.0.0.1:5432").substr(0, 5), false,
         "The connection was closed by the peer in IPC_Socket::Recv(len="}};
    for (const auto& [bytes, byteByByte, expected] : cases) {
        SCOPED_TRACE(expected);
        Proxy p;
        p.proxy->SetExpectedPeer(::getpid());
        const int fd = ConnectDomain(SocketPath(*p.proxy));
        std::thread sender([&, &bytes = bytes, piece = byteByByte ? 1 : bytes.size(), &expected = expected] {
            for (size_t at = 0; at < bytes.size(); at += piece) {
                Send(fd, bytes.substr(at, piece));
                std::this_thread::sleep_for(std::chrono::milliseconds(piece == 1 ? 2 : 0));
            }
            if (expected.rfind("The connection was closed", 0) == 0)
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
        EXPECT_EQ(outcome.substr(0, expected.size()), expected);
        // The listener is gone once called back.
        EXPECT_FALSE(p.proxy->WaitForServer(-1, true));
        // Closing the callback connection is the server's signal to stop.
        p.proxy->Close();
        ExpectEndAndClose(fd);
    }
}

// A silent peer is dropped at the deadline, another process at once.
TEST(CallbackListener, SilentOrForeignPeersAreDropped) {
    {
        Proxy p;
        p.proxy->SetReceiveDeadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(100));
        const int fd = ConnectDomain(SocketPath(*p.proxy));
        EXPECT_THROW(p.proxy->WaitForServer(10000, true), IPC_Socket::socket_closed);
        ExpectEndAndClose(fd);
    }
    Proxy p;
    p.proxy->SetExpectedPeer(::getpid() + 1);
    const int fd = ConnectDomain(SocketPath(*p.proxy));
    Send(fd, Message("pel.tcp://127.0.0.1:5432"));
    EXPECT_FALSE(p.proxy->WaitForServer(10000, true));
    EXPECT_FALSE(p.proxy->GetServerDescriptor());
    ExpectEndAndClose(fd);
}

// The expected process, but under another user: refused all the same. The socket file is opened up first, so that only
// the listener's own check stands in the way.
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

TEST(ConnectionDescriptorTest, ParsesTcpDescriptorsIntoNormalForm) {
    // The text, its host and port, its normal form.
    const std::tuple<const char*, const char*, uint16_t, const char*> cases[] = {
        {"pel.tcp://localhost:0", "localhost", 0, "pel.tcp://localhost:auto"},
        {"pel.tcp://:5000", "", 5000, "pel.tcp://:5000"},
        {"pel.tcp://::1:80", "::1", 80, "pel.tcp://[::1]:80"},
        {"pel.tcp://h:80x", "h", 80, "pel.tcp://h:80"},
        {"pel.tcp://h:000000000000000000065535", "h", 65535, "pel.tcp://h:65535"}};
    for (const auto& [input, host, port, printed] : cases) {
        SCOPED_TRACE(input);
        const auto parsed = IPC_ConnectionDescriptor::Parse(input);
        const auto& tcp = dynamic_cast<const IPC_SocketConnectionDescriptor&>(*parsed);
        EXPECT_EQ(tcp.GetHostName(), host);
        EXPECT_EQ(tcp.GetPort(), port);
        EXPECT_EQ(tcp.str(), printed);
        EXPECT_EQ(IPC_ConnectionDescriptor::Parse(tcp.str())->str(), printed);  // a fixed point
    }
}

TEST(ConnectionDescriptorTest, DomainAndPipeDescriptorsRoundTrip) {
    // The text, its directory, name and socket file.
    const std::tuple<const char*, const char*, const char*, const char*> cases[] = {
        {"pel.domain:///tmp/domain/.s.PGSQL.8000", "/tmp", ".s.PGSQL.8000", "/tmp/.s.PGSQL.8000"},
        // Directories that themselves hold the separator.
        {"pel.domain:///srv/domain/socks/domain/s", "/srv/domain/socks", "s", "/srv/domain/socks/s"},
        {"pel.domain:///srv/domain/domain/s", "/srv/domain", "s", "/srv/domain/s"},
        {"pel.domain:///tmp/domain/domain", "/tmp", "domain", "/tmp/domain"}};
    for (const auto& [input, directory, name, fullName] : cases) {
        SCOPED_TRACE(input);
        const auto parsed = IPC_ConnectionDescriptor::Parse(input);
        const auto& domain = dynamic_cast<const IPC_DomainSocketConnectionDescriptor&>(*parsed);
        EXPECT_EQ(domain.GetDirectoryName(), directory);
        EXPECT_EQ(domain.GetDomainName(), name);
        EXPECT_EQ(domain.GetFullName(), fullName);
        EXPECT_EQ(domain.str(), input);
        EXPECT_EQ(IPC_DomainSocketConnectionDescriptor(directory, name).str(), input);
    }
    const auto pipe = IPC_ConnectionDescriptor::Parse("pel.pipe://auto");
    EXPECT_EQ(pipe->str(), "pel.pipe://./pipe/auto");
    EXPECT_EQ(dynamic_cast<const IPC_NamedPipeConnectionDescriptor&>(*pipe).GetQualifiedPipeName(),
              "\\\\.\\pipe\\auto");
    const auto deep = IPC_ConnectionDescriptor::Parse("pel.pipe://h/pipe/p/pipe/q");
    EXPECT_EQ(dynamic_cast<const IPC_NamedPipeConnectionDescriptor&>(*deep).GetPipeName(), "p/pipe/q");
    // A copy keeps the kind of its original, which prints alike.
    for (const auto* parsed : {&pipe, &deep})
        EXPECT_EQ((*parsed)->clone()->str(), (*parsed)->str());
}

TEST(ConnectionDescriptorTest, RefusesMalformedDescriptorsWithExactTexts) {
    const std::string tcpForm = "Socket connection must be of form pel.tcp://[host]:port";
    const std::string tooLarge = "Port must not be greater than 65535";
    const std::pair<std::string, std::string> cases[] = {
        {"localhost:80",
         "Invalid connection string \"localhost:80\". The connection string must be of the form "
         "\"<scheme>://<rest>\"."},
        {"PEL.TCP://h:1", "Unknown connection string scheme: PEL.TCP://h:1"},
        {"pel.tcp://localhost", tcpForm},
        {"pel.tcp://localhost:", "Port must be non-empty"},
        {"pel.tcp://localhost:-1", "Port must be numeric or \"auto\""},
        {"pel.tcp://localhost:65536", tooLarge},
        {"pel.tcp://localhost:4294967376", tooLarge},
        {"pel.tcp://localhost:99999999999999999999999", tooLarge},
        {"pel.tcp://[::1:80", tcpForm},
        {"pel.domain:///tmp/x", "Socket connection must be of form pel.domain://<host>/domain/<domainName>"},
        {"pel.domain:///tmp/domain/x/domain/", "Local Domain must be non-empty"},
        {"pel.pipe://h/x", "Socket connection must be of form pel.pipe://<host>/pipe/<pipeName>"},
        {"pel.pipe:///pipe/x", "Host must be non-empty"},
        {"pel.pipe://h/pipe/", "Pipe must be non-empty"}};
    for (const auto& [input, message] : cases)
        EXPECT_EQ(
            kelvotest::Thrown<std::invalid_argument>([&, &input = input] { IPC_ConnectionDescriptor::Parse(input); }),
            message);
}

}  // namespace
