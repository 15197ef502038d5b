// Endpoint descriptors as the server reads them from its command line and
// writes them back on the callback connection (pel.tcp, pel.domain, pel.pipe).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kelvod {

struct Endpoint {
    enum class Kind { Tcp, Domain, Pipe };
    Kind kind = Kind::Tcp;
    std::string host;       // Tcp: host without brackets; Pipe: host
    uint16_t port = 0;      // Tcp: 0 stands for "auto"
    std::string directory;  // Domain: the socket's directory
    std::string name;       // Domain: socket file name or "auto"; Pipe: pipe name

    std::string ToString() const;
};

// Throws std::invalid_argument with a message naming what is wrong.
Endpoint ParseEndpoint(std::string_view text);

}  // namespace kelvod
