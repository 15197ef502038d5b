// Parsing and printing of endpoint descriptors.
#include "ipc/connection_descriptor.h"

#include <array>
#include <stdexcept>
#include <utility>

namespace {

constexpr std::string_view kSchemeSeparator = "://";
constexpr std::string_view kDomainSeparator = "/domain/";
constexpr std::string_view kPipeSeparator = "/pipe/";
constexpr std::string_view kAuto = "auto";
constexpr uint32_t kMaxPort = 65535;

std::string Concat(std::initializer_list<std::string_view> parts) {
    size_t size = 0;
    for (std::string_view part : parts)
        size += part.size();
    std::string out;
    out.reserve(size);
    for (std::string_view part : parts)
        out.append(part);
    return out;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The port is the number formed by the leading digits; what follows them is
// ignored, as callers have always been allowed to write "80x". A number that
// does not fit 16 bits is refused rather than wrapped onto some other port.
uint16_t ParsePort(std::string_view text) {
    if (text == kAuto)
        return 0;
    if (text.empty())
        throw std::invalid_argument("Port must be non-empty");
    if (!IsDigit(text.front()))
        throw std::invalid_argument("Port must be numeric or \"auto\"");
    uint32_t port = 0;
    for (char c : text) {
        if (!IsDigit(c))
            break;
        port = port * 10 + static_cast<uint32_t>(c - '0');
        if (port > kMaxPort)
            throw std::invalid_argument("Port must not be greater than 65535");
    }
    return static_cast<uint16_t>(port);
}

std::unique_ptr<IPC_ConnectionDescriptor> ParseSocket(std::string_view, std::string_view rest) {
    const size_t colon = rest.rfind(':');
    if (rest.empty() || colon == std::string_view::npos) {
        throw std::invalid_argument("Socket connection must be of form pel.tcp://[host]:port");
    }
    std::string_view host = rest.substr(0, colon);
    const uint16_t port = ParsePort(rest.substr(colon + 1));

    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    // Brackets only ever enclose a whole host; a stray one would otherwise end
    // up inside the host name and make a descriptor that prints differently.
    if (host.find_first_of("[]") != std::string_view::npos) {
        throw std::invalid_argument("Socket connection must be of form pel.tcp://[host]:port");
    }
    if (host.empty())
        return std::make_unique<IPC_SocketConnectionDescriptor>(port);
    return std::make_unique<IPC_SocketConnectionDescriptor>(host, port);
}

std::unique_ptr<IPC_ConnectionDescriptor> ParseDomainSocket(std::string_view, std::string_view rest) {
    // A socket name never holds "/domain/", a directory may: splitting at the
    // last separator lets every directory round-trip through str and Parse.
    const size_t separator = rest.rfind(kDomainSeparator);
    if (separator == std::string_view::npos) {
        throw std::invalid_argument("Socket connection must be of form pel.domain://<host>/domain/<domainName>");
    }
    std::string_view name = rest.substr(separator + kDomainSeparator.size());
    if (name.empty())
        throw std::invalid_argument("Local Domain must be non-empty");
    return std::make_unique<IPC_DomainSocketConnectionDescriptor>(rest.substr(0, separator), name);
}

std::unique_ptr<IPC_ConnectionDescriptor> ParseNamedPipe(std::string_view, std::string_view rest) {
    if (rest == kAuto)
        return std::make_unique<IPC_NamedPipeConnectionDescriptor>(kAuto);
    const size_t separator = rest.find(kPipeSeparator);
    if (separator == std::string_view::npos) {
        throw std::invalid_argument("Socket connection must be of form pel.pipe://<host>/pipe/<pipeName>");
    }
    std::string_view host = rest.substr(0, separator);
    std::string_view pipe = rest.substr(separator + kPipeSeparator.size());
    if (host.empty())
        throw std::invalid_argument("Host must be non-empty");
    if (pipe.empty())
        throw std::invalid_argument("Pipe must be non-empty");
    return std::make_unique<IPC_NamedPipeConnectionDescriptor>(host, pipe);
}

constexpr std::array<std::pair<std::string_view, ConnectionDescriptorParser>, 3> kParsers{{
    {IPC_SocketConnectionDescriptor::sScheme, &ParseSocket},
    {IPC_NamedPipeConnectionDescriptor::sScheme, &ParseNamedPipe},
    {IPC_DomainSocketConnectionDescriptor::sScheme, &ParseDomainSocket},
}};

}  // namespace

std::unique_ptr<IPC_ConnectionDescriptor> IPC_ConnectionDescriptor::Parse(std::string_view descriptor) {
    const size_t separator = descriptor.find(kSchemeSeparator);
    if (separator == std::string_view::npos) {
        throw std::invalid_argument(Concat({"Invalid connection string \"", descriptor,
                                            "\". The connection string must be of the form "
                                            "\"<scheme>://<rest>\"."}));
    }
    std::string_view scheme = descriptor.substr(0, separator);
    std::string_view rest = descriptor.substr(separator + kSchemeSeparator.size());
    for (const auto& [name, parser] : kParsers) {
        if (name == scheme)
            return parser(scheme, rest);
    }
    throw std::invalid_argument(Concat({"Unknown connection string scheme: ", descriptor}));
}

IPC_SocketConnectionDescriptor::IPC_SocketConnectionDescriptor(uint16_t port)
    : IPC_SocketConnectionDescriptor(std::string_view(), port) {}

IPC_SocketConnectionDescriptor::IPC_SocketConnectionDescriptor(std::string_view ip, uint16_t port)
    : m_ip(ip), m_port(port) {
    const bool bracket = m_ip.find(':') != std::string::npos;
    const std::string portText = port == 0 ? std::string(kAuto) : std::to_string(port);
    m_descriptor = Concat({sScheme, kSchemeSeparator, bracket ? "[" : "", m_ip, bracket ? "]" : "", ":", portText});
}

std::unique_ptr<IPC_ConnectionDescriptor> IPC_SocketConnectionDescriptor::clone() const {
    return std::make_unique<IPC_SocketConnectionDescriptor>(*this);
}

IPC_DomainSocketConnectionDescriptor::IPC_DomainSocketConnectionDescriptor(std::string_view localDomainDirectory,
                                                                           std::string_view localDomainName)
    : m_localDomainName(localDomainName),
      m_localDomainDirectory(localDomainDirectory),
      m_descriptor(Concat({sScheme, kSchemeSeparator, localDomainDirectory, kDomainSeparator, localDomainName})) {}

std::unique_ptr<IPC_ConnectionDescriptor> IPC_DomainSocketConnectionDescriptor::clone() const {
    return std::make_unique<IPC_DomainSocketConnectionDescriptor>(*this);
}

std::string IPC_DomainSocketConnectionDescriptor::GetFullName() const {
    return Concat({m_localDomainDirectory, "/", m_localDomainName});
}

IPC_NamedPipeConnectionDescriptor::IPC_NamedPipeConnectionDescriptor(std::string_view pipeName)
    : IPC_NamedPipeConnectionDescriptor(".", pipeName) {}

IPC_NamedPipeConnectionDescriptor::IPC_NamedPipeConnectionDescriptor(std::string_view host, std::string_view pipeName)
    : m_host(host),
      m_pipeName(pipeName),
      m_descriptor(Concat({sScheme, kSchemeSeparator, host, kPipeSeparator, pipeName})),
      m_qualifiedPipeName(Concat({"\\\\", host, "\\pipe\\", pipeName})) {}

std::unique_ptr<IPC_ConnectionDescriptor> IPC_NamedPipeConnectionDescriptor::clone() const {
    return std::make_unique<IPC_NamedPipeConnectionDescriptor>(*this);
}
