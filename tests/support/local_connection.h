// Client ends of local connections, made with plain system calls, for tests
// (and the fake server) that play the peer of the library's listeners.
#pragma once

#include <string>

namespace kelvotest {

// A stream connection to a numeric IPv4 or IPv6 address and port; the
// descriptor, or -1 when the connection failed.
int ConnectToAddress(const std::string& address, unsigned short port);
// A stream connection to a Unix-domain socket file; the descriptor, or -1.
int ConnectToSocketFile(const std::string& path);

}  // namespace kelvotest
