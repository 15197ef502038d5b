// Plain socket set-up that the test peers and the tests against PostgreSQL
// share: listening and connecting on a Unix socket path or loopback TCP, and
// waits with a time limit so that a test never hangs on a silent socket.
#pragma once

#include <string>

namespace kelvotest {

// A listening Unix-domain socket at path (an old socket file is removed
// first); throws std::runtime_error on failure.
int ListenUnix(const std::string& path);
// A listening socket on 127.0.0.1 at a port the system picks (stored in
// port); throws on failure.
int ListenTcpLoopback(int& port);

// A blocking socket connected to path, or to the numeric IPv4 host and
// port; -1 on failure.
int ConnectUnix(const std::string& path);
int ConnectTcp(const char* host, int port);

// Whether fd became readable within timeout_ms (-1: no limit).
bool WaitReadable(int fd, int timeout_ms);
// Waits until the reader on the other end of a Unix stream socket has taken
// every byte sent on fd; false after timeout_ms. Lets a test hand a client
// its bytes in separate reads without guessing with sleeps.
bool WaitUntilDrained(int fd, int timeout_ms);

}  // namespace kelvotest
