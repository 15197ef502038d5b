// Endpoint descriptors: every accepted form with its fields and printed text,
// every refusal with its exact message.
#include "ipc/connection_descriptor.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <typeinfo>

namespace {

struct TcpCase {
    const char* input;
    const char* host;
    uint16_t port;
    const char* printed;
};

TEST(ConnectionDescriptorTest, ParsesTcpDescriptorsIntoNormalForm) {
    const TcpCase cases[] = {
        {"pel.tcp://localhost:auto", "localhost", 0, "pel.tcp://localhost:auto"},
        {"pel.tcp://localhost:0", "localhost", 0, "pel.tcp://localhost:auto"},
        {"pel.tcp://:5000", "", 5000, "pel.tcp://:5000"},
        {"pel.tcp://::1:80", "::1", 80, "pel.tcp://[::1]:80"},
        {"pel.tcp://::1:7483", "::1", 7483, "pel.tcp://[::1]:7483"},
        {"pel.tcp://[::1]:7483", "::1", 7483, "pel.tcp://[::1]:7483"},
        {"pel.tcp://[fe80::1%eth0]:1", "fe80::1%eth0", 1, "pel.tcp://[fe80::1%eth0]:1"},
        {"pel.tcp://[]:9", "", 9, "pel.tcp://:9"},
        {"pel.tcp://127.0.0.1:007", "127.0.0.1", 7, "pel.tcp://127.0.0.1:7"},
        {"pel.tcp://h:80x", "h", 80, "pel.tcp://h:80"},
        {"pel.tcp://h:65535", "h", 65535, "pel.tcp://h:65535"},
        {"pel.tcp://h:000000000000000000065535", "h", 65535, "pel.tcp://h:65535"},
        {"pel.tcp://a:b:1", "a:b", 1, "pel.tcp://[a:b]:1"},
    };
    for (const TcpCase& c : cases) {
        SCOPED_TRACE(c.input);
        auto parsed = IPC_ConnectionDescriptor::Parse(c.input);
        auto* tcp = dynamic_cast<IPC_SocketConnectionDescriptor*>(parsed.get());
        ASSERT_NE(tcp, nullptr);
        EXPECT_EQ(tcp->GetHostName(), c.host);
        EXPECT_EQ(tcp->GetPort(), c.port);
        EXPECT_EQ(tcp->str(), c.printed);
        EXPECT_EQ(tcp->GetScheme(), "pel.tcp");
        // The normal form is a fixed point.
        EXPECT_EQ(IPC_ConnectionDescriptor::Parse(tcp->str())->str(), c.printed);
    }
}

struct DomainCase {
    const char* input;
    const char* directory;
    const char* name;
    const char* fullName;
};

TEST(ConnectionDescriptorTest, ParsesDomainDescriptorsAndPrintsThemBack) {
    const DomainCase cases[] = {
        {"pel.domain:///tmp/domain/auto", "/tmp", "auto", "/tmp/auto"},
        {"pel.domain:///domain/x", "", "x", "/x"},
        {"pel.domain:///tmp/domain/.s.PGSQL.8000", "/tmp", ".s.PGSQL.8000", "/tmp/.s.PGSQL.8000"},
        // Directories that themselves hold the separator.
        {"pel.domain:///srv/domain/socks/domain/s", "/srv/domain/socks", "s", "/srv/domain/socks/s"},
        {"pel.domain:///srv/domain/domain/s", "/srv/domain", "s", "/srv/domain/s"},
        {"pel.domain:///tmp/domain/domain", "/tmp", "domain", "/tmp/domain"},
        {"pel.domain://rel/dir/domain/a b", "rel/dir", "a b", "rel/dir/a b"},
    };
    for (const DomainCase& c : cases) {
        SCOPED_TRACE(c.input);
        auto parsed = IPC_ConnectionDescriptor::Parse(c.input);
        auto* domain = dynamic_cast<IPC_DomainSocketConnectionDescriptor*>(parsed.get());
        ASSERT_NE(domain, nullptr);
        EXPECT_EQ(domain->GetDirectoryName(), c.directory);
        EXPECT_EQ(domain->GetDomainName(), c.name);
        EXPECT_EQ(domain->GetFullName(), c.fullName);
        EXPECT_EQ(domain->str(), c.input);
        EXPECT_EQ(domain->GetScheme(), "pel.domain");
    }
}

TEST(ConnectionDescriptorTest, ConstructedDomainDescriptorsRoundTrip) {
    const std::pair<const char*, const char*> cases[] = {
        {"/srv/domain/socks", "auto"}, {"/srv/domain", "s"}, {"", "s"}, {"/a/domain/b/domain", "domain"}};
    for (const auto& [directory, name] : cases) {
        IPC_DomainSocketConnectionDescriptor built(directory, name);
        auto parsed = IPC_ConnectionDescriptor::Parse(built.str());
        auto* domain = dynamic_cast<IPC_DomainSocketConnectionDescriptor*>(parsed.get());
        ASSERT_NE(domain, nullptr) << built.str();
        EXPECT_EQ(domain->GetDirectoryName(), directory) << built.str();
        EXPECT_EQ(domain->GetDomainName(), name) << built.str();
    }
}

struct PipeCase {
    const char* input;
    const char* host;
    const char* pipe;
    const char* printed;
    const char* qualified;
};

TEST(ConnectionDescriptorTest, ParsesNamedPipeDescriptors) {
    const PipeCase cases[] = {
        {"pel.pipe://auto", ".", "auto", "pel.pipe://./pipe/auto", "\\\\.\\pipe\\auto"},
        {"pel.pipe://./pipe/auto", ".", "auto", "pel.pipe://./pipe/auto", "\\\\.\\pipe\\auto"},
        {"pel.pipe://h/pipe/p/pipe/q", "h", "p/pipe/q", "pel.pipe://h/pipe/p/pipe/q", "\\\\h\\pipe\\p/pipe/q"},
    };
    for (const PipeCase& c : cases) {
        SCOPED_TRACE(c.input);
        auto parsed = IPC_ConnectionDescriptor::Parse(c.input);
        auto* pipe = dynamic_cast<IPC_NamedPipeConnectionDescriptor*>(parsed.get());
        ASSERT_NE(pipe, nullptr);
        EXPECT_EQ(pipe->GetHostName(), c.host);
        EXPECT_EQ(pipe->GetPipeName(), c.pipe);
        EXPECT_EQ(pipe->str(), c.printed);
        EXPECT_EQ(pipe->GetQualifiedPipeName(), c.qualified);
        EXPECT_EQ(pipe->GetScheme(), "pel.pipe");
    }
}

TEST(ConnectionDescriptorTest, RefusesMalformedDescriptorsWithExactTexts) {
    const std::string tcpForm = "Socket connection must be of form pel.tcp://[host]:port";
    const std::pair<std::string, std::string> cases[] = {
        {"localhost:80", "Invalid connection string \"localhost:80\". The connection string must be of the form "
                         "\"<scheme>://<rest>\"."},
        {"ab", "Invalid connection string \"ab\". The connection string must be of the form \"<scheme>://<rest>\"."},
        {"", "Invalid connection string \"\". The connection string must be of the form \"<scheme>://<rest>\"."},
        {"pel.tcp:/h:1", "Invalid connection string \"pel.tcp:/h:1\". The connection string must be of the form "
                         "\"<scheme>://<rest>\"."},
        {"PEL.TCP://h:1", "Unknown connection string scheme: PEL.TCP://h:1"},
        {"pel.udp://h:1", "Unknown connection string scheme: pel.udp://h:1"},
        {"://x", "Unknown connection string scheme: ://x"},
        {" pel.tcp://h:1", "Unknown connection string scheme:  pel.tcp://h:1"},
        {"pel.tcp://", tcpForm},
        {"pel.tcp://localhost", tcpForm},
        {"pel.tcp://localhost:", "Port must be non-empty"},
        {"pel.tcp://:", "Port must be non-empty"},
        {"pel.tcp://localhost:-1", "Port must be numeric or \"auto\""},
        {"pel.tcp://localhost:+1", "Port must be numeric or \"auto\""},
        {"pel.tcp://localhost: 80", "Port must be numeric or \"auto\""},
        {"pel.tcp://localhost:Auto", "Port must be numeric or \"auto\""},
        {"pel.tcp://localhost:65536", "Port must not be greater than 65535"},
        {"pel.tcp://localhost:4294967376", "Port must not be greater than 65535"},
        {"pel.tcp://localhost:99999999999999999999999", "Port must not be greater than 65535"},
        {"pel.tcp://[::1:80", tcpForm},
        {"pel.tcp://::1]:80", tcpForm},
        {"pel.tcp://[a]b:80", tcpForm},
        {"pel.tcp://[[a]]:80", tcpForm},
        {"pel.domain:///tmp/x", "Socket connection must be of form pel.domain://<host>/domain/<domainName>"},
        {"pel.domain://", "Socket connection must be of form pel.domain://<host>/domain/<domainName>"},
        {"pel.domain:///tmp/domain/", "Local Domain must be non-empty"},
        {"pel.domain:///tmp/domain/x/domain/", "Local Domain must be non-empty"},
        {"pel.pipe://", "Socket connection must be of form pel.pipe://<host>/pipe/<pipeName>"},
        {"pel.pipe://h/x", "Socket connection must be of form pel.pipe://<host>/pipe/<pipeName>"},
        {"pel.pipe:///pipe/x", "Host must be non-empty"},
        {"pel.pipe://h/pipe/", "Pipe must be non-empty"},
    };
    for (const auto& [input, message] : cases) {
        SCOPED_TRACE(input);
        try {
            IPC_ConnectionDescriptor::Parse(input);
            ADD_FAILURE() << "accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(e.what(), message);
        }
    }
}

TEST(ConnectionDescriptorTest, ConstructorsPrintTheirText) {
    EXPECT_EQ(IPC_SocketConnectionDescriptor("localhost", 0).str(), "pel.tcp://localhost:auto");
    EXPECT_EQ(IPC_SocketConnectionDescriptor("::1", 7483).str(), "pel.tcp://[::1]:7483");
    EXPECT_EQ(IPC_SocketConnectionDescriptor(7483).str(), "pel.tcp://:7483");
    EXPECT_EQ(IPC_SocketConnectionDescriptor(7483).GetHostName(), "");
    EXPECT_EQ(IPC_DomainSocketConnectionDescriptor("/tmp", "auto").str(), "pel.domain:///tmp/domain/auto");
    EXPECT_EQ(IPC_NamedPipeConnectionDescriptor("auto").str(), "pel.pipe://./pipe/auto");
    EXPECT_EQ(IPC_NamedPipeConnectionDescriptor("srv", "p").GetQualifiedPipeName(), "\\\\srv\\pipe\\p");
}

TEST(ConnectionDescriptorTest, ClonesAndCopiesAreIndependentValuesOfTheSameKind) {
    const char* inputs[] = {"pel.tcp://[::1]:7483", "pel.domain:///tmp/domain/s", "pel.pipe://h/pipe/p"};
    for (const char* input : inputs) {
        std::unique_ptr<IPC_ConnectionDescriptor> original = IPC_ConnectionDescriptor::Parse(input);
        std::unique_ptr<IPC_ConnectionDescriptor> copy = original->clone();
        original.reset();
        EXPECT_EQ(copy->str(), input);
        EXPECT_EQ(typeid(*copy), typeid(*IPC_ConnectionDescriptor::Parse(input)));
    }
    IPC_SocketConnectionDescriptor a("a", 1);
    IPC_SocketConnectionDescriptor b("b", 2);
    a = b;
    EXPECT_EQ(a.str(), "pel.tcp://b:2");
    EXPECT_EQ(a.GetHostName(), "b");
}

}  // namespace
