// Parsing and printing of endpoint descriptors.
#include "kelvod/process/endpoint.h"

namespace kelvod {

std::string Endpoint::ToString() const {
    switch (kind) {
        case Kind::Tcp: {
            std::string h = host.find(':') != std::string::npos ? "[" + host + "]" : host;
            return "pel.tcp://" + h + ":" + (port == 0 ? std::string("auto") : std::to_string(port));
        }
        case Kind::Domain:
            return "pel.domain://" + directory + "/domain/" + name;
        case Kind::Pipe:
            return "pel.pipe://" + host + "/pipe/" + name;
    }
    return {};
}

Endpoint ParseEndpoint(std::string_view text) {
    size_t sep = text.find("://");
    if (sep == std::string_view::npos)
        throw std::invalid_argument("Invalid connection string \"" + std::string(text) + "\"");
    std::string_view scheme = text.substr(0, sep);
    std::string_view rest = text.substr(sep + 3);
    Endpoint e;
    if (scheme == "pel.tcp") {
        size_t colon = rest.rfind(':');
        if (rest.empty() || colon == std::string_view::npos)
            throw std::invalid_argument("Socket connection must be of form pel.tcp://[host]:port");
        std::string_view host = rest.substr(0, colon), port = rest.substr(colon + 1);
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
            host = host.substr(1, host.size() - 2);
        } else if (host.find_first_of("[]") != std::string_view::npos) {
            throw std::invalid_argument("Malformed host in \"" + std::string(text) + "\"");
        }
        e.kind = Endpoint::Kind::Tcp;
        e.host = std::string(host);
        if (port == "auto") {
            e.port = 0;
        } else {
            if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string_view::npos)
                throw std::invalid_argument("Port must be numeric or \"auto\"");
            unsigned long v = std::stoul(std::string(port));
            if (v == 0 || v > 65535)
                throw std::invalid_argument("Port must lie between 1 and 65535");
            e.port = static_cast<uint16_t>(v);
        }
        return e;
    }
    if (scheme == "pel.domain") {
        size_t d = rest.find("/domain/");
        if (d == std::string_view::npos)
            throw std::invalid_argument("Socket connection must be of form pel.domain://<host>/domain/<domainName>");
        e.kind = Endpoint::Kind::Domain;
        e.directory = std::string(rest.substr(0, d));
        e.name = std::string(rest.substr(d + 8));
        if (e.name.empty())
            throw std::invalid_argument("Local Domain must be non-empty");
        return e;
    }
    if (scheme == "pel.pipe") {
        e.kind = Endpoint::Kind::Pipe;
        if (rest == "auto") {
            e.host = ".";
            e.name = "auto";
            return e;
        }
        size_t p = rest.find("/pipe/");
        if (p == std::string_view::npos)
            throw std::invalid_argument("Socket connection must be of form pel.pipe://<host>/pipe/<pipeName>");
        e.host = std::string(rest.substr(0, p));
        e.name = std::string(rest.substr(p + 6));
        if (e.host.empty())
            throw std::invalid_argument("Host must be non-empty");
        if (e.name.empty())
            throw std::invalid_argument("Pipe must be non-empty");
        return e;
    }
    throw std::invalid_argument("Unknown connection string scheme: " + std::string(text));
}

}  // namespace kelvod
