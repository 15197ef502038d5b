// Endpoint descriptors: every accepted form with its fields and printed text,
// every refusal with its exact message.
#include "ipc/connection_descriptor.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <tuple>
#include <typeinfo>

#include "support/thrown_error.h"

namespace {

TEST(ConnectionDescriptorTest, ParsesTcpDescriptorsIntoNormalForm) {
    // The text, its host and port, its normal form.
    const std::tuple<const char*, const char*, uint16_t, const char*> cases[] = {
        {"pel.tcp://localhost:0", "localhost", 0, "pel.tcp://localhost:auto"},
        {"pel.tcp://:5000", "", 5000, "pel.tcp://:5000"},
        {"pel.tcp://::1:80", "::1", 80, "pel.tcp://[::1]:80"},
        {"pel.tcp://h:80x", "h", 80, "pel.tcp://h:80"},
        {"pel.tcp://h:000000000000000000065535", "h", 65535, "pel.tcp://h:65535"},
    };
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
        {"pel.domain:///tmp/domain/domain", "/tmp", "domain", "/tmp/domain"},
    };
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
    for (const auto* parsed : {&pipe, &deep}) {
        const auto clone = (*parsed)->clone();
        EXPECT_EQ(clone->str(), (*parsed)->str());
        const IPC_ConnectionDescriptor& original = **parsed;
        const IPC_ConnectionDescriptor& copy = *clone;
        EXPECT_EQ(typeid(copy), typeid(original));
    }
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
        {"pel.pipe://h/pipe/", "Pipe must be non-empty"},
    };
    for (const auto& [input, message] : cases)
        EXPECT_EQ(
            kelvotest::Thrown<std::invalid_argument>([&, &input = input] { IPC_ConnectionDescriptor::Parse(input); }),
            message);
}

}  // namespace
