// Endpoint descriptors: the one text form ("<scheme>://<rest>") in which the
// library names a place where something listens. The parameter code reads the
// `endpoint`, `listen_connection` and `callback_connection` values through
// them; the IPC layer and the server listen on what they describe.
//
// Descriptors are immutable values: each constructor computes the printed text
// once, and `str` hands it out. Owners keep them behind
// std::unique_ptr<IPC_ConnectionDescriptor> and tell the kinds apart with
// dynamic_cast.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

class IPC_ConnectionDescriptor {
public:
    virtual ~IPC_ConnectionDescriptor() = default;
    virtual std::unique_ptr<IPC_ConnectionDescriptor> clone() const = 0;
    virtual const std::string& str() const = 0;
    virtual std::string_view GetScheme() const = 0;

    // A new descriptor of the kind its scheme names; throws
    // std::invalid_argument with a text meant for the user on any malformed input.
    static std::unique_ptr<IPC_ConnectionDescriptor> Parse(std::string_view descriptor);

protected:
    IPC_ConnectionDescriptor() = default;
    IPC_ConnectionDescriptor(const IPC_ConnectionDescriptor&) = default;
    IPC_ConnectionDescriptor& operator=(const IPC_ConnectionDescriptor&) = default;
};

// Parses the text after "://" for one scheme.
using ConnectionDescriptorParser = std::unique_ptr<IPC_ConnectionDescriptor> (*)(std::string_view scheme,
                                                                                 std::string_view rest);

// "pel.tcp://host:port"; an IPv6 host is printed in brackets, port 0 as "auto".
class IPC_SocketConnectionDescriptor final : public IPC_ConnectionDescriptor {
public:
    static constexpr std::string_view sScheme = "pel.tcp";

    explicit IPC_SocketConnectionDescriptor(uint16_t port);
    IPC_SocketConnectionDescriptor(std::string_view ip, uint16_t port);

    std::unique_ptr<IPC_ConnectionDescriptor> clone() const override;
    const std::string& str() const override { return m_descriptor; }
    std::string_view GetScheme() const override { return sScheme; }

    const std::string& GetHostName() const { return m_ip; }
    uint16_t GetPort() const { return m_port; }

private:
    std::string m_ip;
    uint16_t m_port;
    std::string m_descriptor;
};

// "pel.domain://<directory>/domain/<name>"; the name "auto" asks the listener
// for a random socket name.
class IPC_DomainSocketConnectionDescriptor final : public IPC_ConnectionDescriptor {
public:
    static constexpr std::string_view sScheme = "pel.domain";

    IPC_DomainSocketConnectionDescriptor(std::string_view localDomainDirectory, std::string_view localDomainName);

    std::unique_ptr<IPC_ConnectionDescriptor> clone() const override;
    const std::string& str() const override { return m_descriptor; }
    std::string_view GetScheme() const override { return sScheme; }

    const std::string& GetDomainName() const { return m_localDomainName; }
    const std::string& GetDirectoryName() const { return m_localDomainDirectory; }
    // The path of the socket file: directory, '/', name.
    std::string GetFullName() const;

private:
    std::string m_localDomainName;
    std::string m_localDomainDirectory;
    std::string m_descriptor;
};

// "pel.pipe://<host>/pipe/<name>"; parsed and printed only, nothing on this
// platform listens on or connects to a named pipe.
class IPC_NamedPipeConnectionDescriptor final : public IPC_ConnectionDescriptor {
public:
    static constexpr std::string_view sScheme = "pel.pipe";

    explicit IPC_NamedPipeConnectionDescriptor(std::string_view pipeName);
    IPC_NamedPipeConnectionDescriptor(std::string_view host, std::string_view pipeName);

    std::unique_ptr<IPC_ConnectionDescriptor> clone() const override;
    const std::string& str() const override { return m_descriptor; }
    std::string_view GetScheme() const override { return sScheme; }

    const std::string& GetHostName() const { return m_host; }
    const std::string& GetPipeName() const { return m_pipeName; }
    // \\<host>\pipe\<name>
    const std::string& GetQualifiedPipeName() const { return m_qualifiedPipeName; }

private:
    std::string m_host;
    std::string m_pipeName;
    std::string m_descriptor;
    std::string m_qualifiedPipeName;
};
