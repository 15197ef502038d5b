// Cancel handles and the CancelRequest. PQcancel may run on another thread
// than the connection's, while that thread waits on it, so it allocates
// nothing, touches nothing but the handle and its own socket, and leaves
// errno as it found it. Its socket is non-blocking so that a server that
// never answers cannot hold the caller past the time limit.
#include "postgres/libpq/cancel.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "error/tagged_text.h"

namespace {

constexpr int kCancelRequestCode = (1234 << 16) | 5678;  // 80877102
constexpr int kCancelPacketLength = 16;

int64_t monotonicMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Waits until fd is ready for `events` or the deadline passes: 1 ready (or in
// error, which the next call reports), 0 time-out, -1 failure with errno.
int waitUntil(int fd, short events, int64_t deadlineMs) {
    for (;;) {
        int64_t left = deadlineMs - monotonicMs();
        if (left <= 0)
            return 0;
        pollfd pfd{fd, events, 0};
        int rc = poll(&pfd, 1, left > INT_MAX ? INT_MAX : static_cast<int>(left));
        if (rc < 0 && errno == EINTR)
            continue;
        return rc < 0 ? -1 : (rc == 0 ? 0 : 1);
    }
}

// Copies src into dst (of size bytes) as far as it fits, NUL included.
// Returns the length written.
size_t copyTruncated(char* dst, size_t size, const char* src) {
    size_t len = strlen(src);
    if (len > size - 1)
        len = size - 1;
    memcpy(dst, src, len);
    dst[len] = '\0';
    return len;
}

// The failure text: the prefix, then, when two bytes are left, as much of the
// system's text as fits with a newline after it.
void writeFailure(char* errbuf, int errbufsize, const char* prefix, int err) {
    if (errbuf == nullptr || errbufsize <= 0)
        return;
    size_t size = static_cast<size_t>(errbufsize);
    size_t len = copyTruncated(errbuf, size, prefix);
    size_t left = size - len;
    if (left < 2)
        return;
    char sysbuf[256];
    // The GNU strerror_r returns its text, which may be a static string.
    const char* text = strerror_r(err, sysbuf, sizeof sysbuf);
    len += copyTruncated(errbuf + len, left - 1, text);
    errbuf[len] = '\n';
    errbuf[len + 1] = '\0';
}

// Connects the non-blocking socket before the deadline: 0, or the errno of
// the failure (ETIMEDOUT when the deadline passed).
int connectBefore(int sock, const SockAddr& addr, int64_t deadlineMs) {
    int rc;
    // A Unix socket whose listen queue is full refuses with EAGAIN instead
    // of waiting: try again.
    while ((rc = connect(sock, reinterpret_cast<const sockaddr*>(&addr.addr), addr.salen)) < 0 && errno == EAGAIN &&
           monotonicMs() < deadlineMs) {
        poll(nullptr, 0, 10);
    }
    if (rc == 0)
        return 0;
    // An interrupted non-blocking connect goes on in the background just
    // like one in progress.
    if (errno != EINPROGRESS && errno != EINTR)
        return errno;
    int ready = waitUntil(sock, POLLOUT, deadlineMs);
    if (ready <= 0)
        return ready == 0 ? ETIMEDOUT : errno;
    int soError = 0;
    socklen_t optlen = sizeof soError;
    if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &soError, &optlen) < 0)
        return errno;
    return soError;
}

// Sends the whole packet before the deadline: 0, or the errno of the failure.
int sendBefore(int sock, const void* packet, size_t length, int64_t deadlineMs) {
    for (;;) {
        // MSG_NOSIGNAL: a server that closed at once must not kill the
        // caller with SIGPIPE.
        ssize_t sent = send(sock, packet, length, MSG_NOSIGNAL);
        if (sent >= 0)
            return static_cast<size_t>(sent) == length ? 0 : EIO;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return errno;
        int ready = waitUntil(sock, POLLOUT, deadlineMs);
        if (ready <= 0)
            return ready == 0 ? ETIMEDOUT : errno;
    }
}

}  // namespace

PGcancel* PQgetCancel(PGconn* conn) {
    if (conn == nullptr || conn->sock < 0)
        return nullptr;
    auto* cancel = static_cast<PGcancel*>(malloc(sizeof(PGcancel)));
    if (cancel == nullptr)
        return nullptr;
    memcpy(&cancel->raddr, &conn->raddr, sizeof(SockAddr));
    cancel->be_pid = conn->be_pid;
    cancel->be_key = conn->be_key;
    return cancel;
}

void PQfreeCancel(PGcancel* cancel) { free(cancel); }

int pqCancelWithin(const PGcancel* cancel, char* errbuf, int errbufsize, int timeLimitMs, bool* unanswered) {
    if (unanswered != nullptr)
        *unanswered = false;
    if (cancel == nullptr) {
        if (errbuf != nullptr && errbufsize > 0)
            copyTruncated(errbuf, static_cast<size_t>(errbufsize), "PQcancel() -- no cancel object supplied");
        return 0;
    }

    const int savedErrno = errno;
    const int64_t deadline = monotonicMs() + timeLimitMs;
    const char* failure = nullptr;
    int failureErrno = 0;
    int sock = -1;

    do {
        sock = socket(cancel->raddr.addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (sock < 0) {
            failure = "PQcancel() -- socket() failed: ";
            failureErrno = errno;
            break;
        }
        if ((failureErrno = connectBefore(sock, cancel->raddr, deadline)) != 0) {
            failure = "PQcancel() -- connect() failed: ";
            break;
        }
        const uint32_t packet[4] = {htonl(kCancelPacketLength), htonl(kCancelRequestCode),
                                    htonl(static_cast<uint32_t>(cancel->be_pid)),
                                    htonl(static_cast<uint32_t>(cancel->be_key))};
        if ((failureErrno = sendBefore(sock, packet, kCancelPacketLength, deadline)) != 0) {
            failure = "PQcancel() -- send() failed: ";
            break;
        }
        // The server closes the socket once it has acted on the request;
        // waiting for that keeps a following statement from racing the
        // cancel. A server that never closes only costs the time limit.
        const int ready = waitUntil(sock, POLLIN, deadline);
        if (ready > 0) {
            char c;
            while (recv(sock, &c, 1, 0) < 0 && errno == EINTR) {
            }
        } else if (ready == 0 && unanswered != nullptr) {
            *unanswered = true;
        }
    } while (false);

    if (sock >= 0)
        close(sock);
    if (failure != nullptr)
        writeFailure(errbuf, errbufsize, failure, failureErrno);
    errno = savedErrno;
    return failure == nullptr ? 1 : 0;
}

int PQcancel(PGcancel* cancel, char* errbuf, int errbufsize) {
    return pqCancelWithin(cancel, errbuf, errbufsize, kCancelTimeLimitMs);
}

int PQrequestCancel(PGconn* conn) {
    if (conn == nullptr)
        return 0;
    if (conn->sock < 0) {
        printfPQExpBuffer(&conn->errorMessage, "%s",
                          kelvoapi::TaggedText()
                              .Sqlstate("08003")
                              .Primary("The connection given to `PQrequestCancel()` is not open.")
                              .c_str());
        return 0;
    }
    PGcancel cancel;
    memcpy(&cancel.raddr, &conn->raddr, sizeof(SockAddr));
    cancel.be_pid = conn->be_pid;
    cancel.be_key = conn->be_key;
    // The text goes straight into the connection's buffer, within the room it
    // already has (a broken buffer has none and receives nothing).
    int maxlen = conn->errorMessage.maxlen > static_cast<size_t>(INT_MAX) ? INT_MAX
                                                                          : static_cast<int>(conn->errorMessage.maxlen);
    int ok = PQcancel(&cancel, conn->errorMessage.data, maxlen);
    if (!ok && maxlen > 0)
        conn->errorMessage.len = strlen(conn->errorMessage.data);
    return ok;
}
