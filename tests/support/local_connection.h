// Both ends of local sockets for tests, made with plain system calls: the client ends that play the peer of the
// library's listeners (and the fake server's call-back), the listeners of the scripted peers, and waits with a time
// limit so that a test never hangs on a silent socket.
#pragma once

#include <string>

namespace kelvotest {

// A stream connection to a numeric IPv4 or IPv6 address and port; the descriptor, or -1 when the connection failed.
int ConnectToAddress(const std::string& address, unsigned short port);
// A stream connection to a Unix-domain socket file; the descriptor, or -1.
int ConnectToSocketFile(const std::string& path);

// A listening Unix-domain socket at path (an old socket file is removed first); throws std::runtime_error on failure.
int ListenUnix(const std::string& path);
// A listening socket on 127.0.0.1 at a port the system picks (stored in port); throws on failure.
int ListenTcpLoopback(int& port);

// Whether fd became readable within timeout_ms (-1: no limit).
bool WaitReadable(int fd, int timeout_ms);
// Waits until the reader on the other end of a Unix stream socket has taken every byte sent on fd; false after
// timeout_ms. Lets a test hand a client its bytes in separate reads without guessing with sleeps.
bool WaitUntilDrained(int fd, int timeout_ms);

}  // namespace kelvotest
