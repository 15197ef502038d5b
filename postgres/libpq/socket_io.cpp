// Socket I/O of a connection: reads into the input buffer, sends from the
// output buffer with SIGPIPE kept away from the application, and the waits.
#include "postgres/libpq/socket_io.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "error/tagged_text.h"
#include "postgres/libpq/buffer_space.h"
#include "postgres/libpq/read_ahead.h"

namespace {

const char* systemErrorText(int errnum, char* buf, size_t buflen) {
    // The GNU strerror_r returns the text, which may or may not be in buf.
    return strerror_r(errnum, buf, buflen);
}

// Every failure of the socket carries the same code and hint: the server may
// be gone whatever the call was.
void writeSocketFailure(PGconn* conn, const char* primary, const char* detail) {
    printfPQExpBuffer(&conn->errorMessage, "%s",
                      kelvoapi::TaggedText()
                          .Sqlstate("08003")
                          .Primary("%s", primary)
                          .Detail("%s", detail)
                          .Hint("The server process may have been shut down or terminated before or while processing "
                                "the request.")
                          .c_str());
}

void writeClosedUnexpectedly(PGconn* conn, const char* where) {
    writeSocketFailure(conn, "The Kelvo server closed the connection unexpectedly.", where);
}

void writeNotOpen(PGconn* conn, const char* where) {
    writeSocketFailure(conn, "The connection to the Kelvo server is not open.", where);
}

// Records why recv or send in `where` failed with `errnum`; a call that should
// only be tried again records nothing.
void writeTransferFailure(PGconn* conn, int errnum, const char* where, const char* primary) {
    switch (errnum) {
        case EAGAIN:
#if EAGAIN != EWOULDBLOCK
        case EWOULDBLOCK:
#endif
        case EINTR:
            break;
        case ECONNRESET:
            writeClosedUnexpectedly(conn, where);
            break;
        default: {
            char sebuf[256];
            const std::string detail = std::string(where) + ": " + systemErrorText(errnum, sebuf, sizeof(sebuf));
            writeSocketFailure(conn, primary, detail.c_str());
            break;
        }
    }
}

// Blocks SIGPIPE in the calling thread around one send.
struct SigpipeGuard {
    sigset_t osigset;
    bool sigpipe_pending = false;
    bool active = false;

    int block() {
        sigset_t sigpipe_sigset;
        sigemptyset(&sigpipe_sigset);
        sigaddset(&sigpipe_sigset, SIGPIPE);
        int err = pthread_sigmask(SIG_BLOCK, &sigpipe_sigset, &osigset);
        if (err != 0)
            return err;
        active = true;
        // A SIGPIPE that was already pending is the application's: leave it.
        if (sigismember(&osigset, SIGPIPE)) {
            sigset_t pending;
            if (sigpending(&pending) != 0)
                return errno;
            sigpipe_pending = sigismember(&pending, SIGPIPE);
        }
        return 0;
    }

    // Consumes a SIGPIPE that our send raised, then restores the mask.
    void restore(bool got_epipe) {
        if (!active)
            return;
        int save_errno = errno;
        if (got_epipe && !sigpipe_pending) {
            sigset_t pending;
            if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE)) {
                sigset_t sigpipe_sigset;
                sigemptyset(&sigpipe_sigset);
                sigaddset(&sigpipe_sigset, SIGPIPE);
                int signo;
                sigwait(&sigpipe_sigset, &signo);
            }
        }
        pthread_sigmask(SIG_SETMASK, &osigset, nullptr);
        errno = save_errno;
    }
};

// A read that fills the buffer means a stream is arriving: the buffer then
// grows once to this size, so that long results take few receives.
constexpr int kStreamingBufferSize = 256 * 1024;

time_t nowSeconds() { return time(nullptr); }

// One poll with EINTR retried; -1 end_time waits without limit.
int pqSocketPoll(int sock, int forRead, int forWrite, time_t end_time) {
    struct pollfd input_fd;
    input_fd.fd = sock;
    input_fd.events = POLLERR;
    input_fd.revents = 0;
    if (forRead)
        input_fd.events |= POLLIN;
    if (forWrite)
        input_fd.events |= POLLOUT;
    for (;;) {
        int timeout_ms;
        if (end_time == static_cast<time_t>(-1)) {
            timeout_ms = -1;
        } else {
            time_t now = nowSeconds();
            if (end_time > now) {
                int64_t ms = (static_cast<int64_t>(end_time) - now) * 1000;
                timeout_ms = ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
            } else {
                timeout_ms = 0;
            }
        }
        int result = poll(&input_fd, 1, timeout_ms);
        if (result < 0 && errno == EINTR)
            continue;
        return result;
    }
}

int checkSocket(PGconn* conn, int forRead, int forWrite, time_t end_time) {
    if (conn == nullptr)
        return -1;
    if (conn->sock < 0) {
        printfPQExpBuffer(&conn->errorMessage, "The socket is invalid.");
        return -1;
    }
    if (!forRead && !forWrite)
        return 0;
    int result = pqSocketPoll(conn->sock, forRead, forWrite, end_time);
    if (result < 0) {
        char sebuf[256];
        printfPQExpBuffer(&conn->errorMessage, "%s",
                          kelvoapi::TaggedText()
                              .Primary("The call to `select()` failed.")
                              .Detail("%s", systemErrorText(errno, sebuf, sizeof(sebuf)))
                              .c_str());
    }
    return result;
}

}  // namespace

ssize_t pqsecure_read(PGconn* conn, void* ptr, size_t len) {
    ssize_t n = recv(conn->sock, ptr, len, 0);
    if (n < 0) {
        int result_errno = errno;
        writeTransferFailure(conn, result_errno, "pqsecure_raw_read", "Could not receive data from the Kelvo server.");
        errno = result_errno;
    }
    return n;
}

ssize_t pqsecure_raw_write(PGconn* conn, const void* ptr, size_t len) {
    int flags = 0;
    SigpipeGuard guard;
    bool got_epipe = false;

    if (conn->sigpipe_flag)
        flags |= MSG_NOSIGNAL;
retry_masked:
    if (!conn->sigpipe_so && !conn->sigpipe_flag && !guard.active) {
        int err = guard.block();
        if (err != 0) {
            guard.restore(false);
            errno = err;
            return -1;
        }
    }

    ssize_t n = send(conn->sock, ptr, len, flags);
    if (n < 0) {
        int result_errno = errno;
        // MSG_NOSIGNAL refused: switch this connection to the signal mask for good.
        if (flags != 0 && result_errno == EINVAL) {
            conn->sigpipe_flag = false;
            flags = 0;
            goto retry_masked;
        }
        if (result_errno == EPIPE) {
            got_epipe = true;
            writeClosedUnexpectedly(conn, "pqsecure_raw_write");
        } else {
            writeTransferFailure(conn, result_errno, "pqsecure_raw_write", "Could not send data to the Kelvo server.");
        }
        errno = result_errno;
    }
    guard.restore(got_epipe);
    return n;
}

void pqsecure_close(PGconn* /*conn*/) {}

namespace {

// A read through the read-ahead thread, with the texts and the dropped
// connection of a read of the socket; kGone when the socket is to be read
// directly.
int takeReadAhead(PGconn* conn, bool wait) {
    int error = 0;
    const int got = conn->readAhead->Take(wait, &error);
    if (got >= 0 || got == ReadAhead::kGone)
        return got;
    if (error == 0) {
        writeClosedUnexpectedly(conn, "pqReadData");
    } else {
        writeTransferFailure(conn, error, "pqsecure_raw_read", "Could not receive data from the Kelvo server.");
        if (error != ECONNRESET)
            return -1;
    }
    pqDropConnection(conn, false);
    conn->status = CONNECTION_BAD;
    return -1;
}

// pqReadData, and with `wait` through a read-ahead thread: waiting there
// instead of on the socket.
int readData(PGconn* conn, bool wait) {
    int someread = 0;
    ssize_t nread;

    if (conn->sock < 0) {
        writeNotOpen(conn, "pqReadData");
        return -1;
    }

    // Compact; then make sure a good-sized receive fits.
    if (conn->inStart < conn->inEnd) {
        if (conn->inStart > 0) {
            memmove(conn->inBuffer, conn->inBuffer + conn->inStart, conn->inEnd - conn->inStart);
            conn->inEnd -= conn->inStart;
            conn->inCursor -= conn->inStart;
            conn->inStart = 0;
        }
    } else {
        conn->inStart = conn->inCursor = conn->inEnd = 0;
    }
    if (conn->readAhead != nullptr) {
        const int got = takeReadAhead(conn, wait);
        if (got != ReadAhead::kGone)
            return got;
    }
    if (conn->inBufSize - conn->inEnd < 8192) {
        if (pqCheckInBufferSpace(static_cast<size_t>(conn->inEnd) + 8192, conn)) {
            if (conn->inBufSize - conn->inEnd < 100)
                return -1;
        }
    }

retry3:
    nread = pqsecure_read(conn, conn->inBuffer + conn->inEnd, conn->inBufSize - conn->inEnd);
    if (nread < 0) {
        if (errno == EINTR)
            goto retry3;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            conn->inputDrained = true;
            return someread;
        }
        if (errno == ECONNRESET)
            goto definitelyFailed;
        return -1;
    }
    if (nread > 0) {
        const bool filled = nread == conn->inBufSize - conn->inEnd;
        // A stream socket hands over all it holds, up to the room given.
        conn->inputDrained = !filled;
        conn->inEnd += static_cast<int>(nread);
        if (filled && conn->inBufSize < kStreamingBufferSize) {
            // Growing is an optimisation: failing to grow changes nothing.
            if (char* grown = static_cast<char*>(realloc(conn->inBuffer, kStreamingBufferSize))) {
                conn->inBuffer = grown;
                conn->inBufSize = kStreamingBufferSize;
            }
        }
        // A long message is arriving: read ahead while there is room and
        // the socket may hold more.
        if (filled && conn->inEnd > 32768 && (conn->inBufSize - conn->inEnd) >= 8192) {
            someread = 1;
            goto retry3;
        }
        return 1;
    }
    if (someread)
        return 1;

    // Zero bytes: either nothing yet on a socket that looked readable, or EOF.
    switch (pqReadReady(conn)) {
        case 0:
            return 0;
        case 1:
            break;
        default:
            goto definitelyEOF;
    }

retry4:
    nread = pqsecure_read(conn, conn->inBuffer + conn->inEnd, conn->inBufSize - conn->inEnd);
    if (nread < 0) {
        if (errno == EINTR)
            goto retry4;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        if (errno == ECONNRESET)
            goto definitelyFailed;
        return -1;
    }
    if (nread > 0) {
        conn->inEnd += static_cast<int>(nread);
        return 1;
    }

definitelyEOF:
    writeClosedUnexpectedly(conn, "pqReadData");

definitelyFailed:
    // Keep what was read: the parser may still find the server's last words.
    pqDropConnection(conn, false);
    conn->status = CONNECTION_BAD;
    return -1;
}

}  // namespace

int pqReadData(PGconn* conn) { return readData(conn, false); }

namespace {

// Waits until the socket has bytes, within the connection's idle limit and
// until its interrupt: 0, or -1 with the text written.
int waitForInput(PGconn* conn) {
    if (conn->sock < 0) {
        writeNotOpen(conn, "pqReadData");
        return -1;
    }
    pollfd fds[2] = {{conn->sock, POLLIN, 0}, {conn->interruptFd, POLLIN, 0}};
    for (;;) {
        const int rc = poll(fds, conn->interruptFd >= 0 ? 2 : 1, conn->idleLimitMs);
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0) {
            char sebuf[256];
            writeSocketFailure(conn, "The call to `poll()` failed.", systemErrorText(errno, sebuf, sizeof(sebuf)));
        } else if (rc == 0) {
            writeSocketFailure(conn, "The Kelvo server stopped answering.", "Nothing arrived within the time limit.");
        } else if (fds[1].revents != 0) {
            writeSocketFailure(conn, "The wait for the Kelvo server was given up.",
                               "The server did not answer a cancel request.");
        } else {
            return 0;
        }
        return -1;
    }
}

int readBlocking(PGconn* conn) {
    // After a read that emptied the socket, a read before the wait would
    // only find nothing: a server slower than its reader would cost a
    // receive in vain per send.
    if (conn->inputDrained && conn->sock >= 0 && conn->readAhead == nullptr && waitForInput(conn) != 0)
        return -1;
    for (;;) {
        const int got = readData(conn, true);
        if (got != 0)
            return got;
        if (waitForInput(conn) != 0)
            return -1;
    }
}

}  // namespace

int pqReadBlocking(PGconn* conn) {
    const int got = readBlocking(conn);
    // The answer waited for stays unread: a connection kept open would hand
    // it to the next statement as that statement's own.
    if (got < 0 && conn->status == CONNECTION_OK) {
        pqDropConnection(conn, false);
        conn->status = CONNECTION_BAD;
    }
    return got;
}

int pqSendSome(PGconn* conn, int len) {
    char* ptr = conn->outBuffer;
    int remaining = conn->outCount;
    int result = 0;

    if (conn->sock < 0) {
        writeNotOpen(conn, "pqSendSome");
        conn->outCount = 0;
        return -1;
    }

    while (len > 0) {
        ssize_t sent = pqsecure_raw_write(conn, ptr, static_cast<size_t>(len));
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                sent = 0;
            } else {
                // The text is written; the socket stays open so that the
                // server's final ErrorResponse can still be read. What was
                // queued is lost, maybe half sent: the stream is out of step.
                conn->outCount = 0;
                if (conn->status == CONNECTION_OK)
                    conn->status = CONNECTION_BAD;
                return -1;
            }
        }
        ptr += sent;
        len -= static_cast<int>(sent);
        remaining -= static_cast<int>(sent);

        if (len > 0) {
            // The server may be blocked sending to us; drain it so that it
            // can drain us.
            if (pqReadData(conn) < 0) {
                result = -1;
                break;
            }
            if (conn->nonblocking) {
                result = 1;
                break;
            }
            if (checkSocket(conn, 1, 1, static_cast<time_t>(-1)) < 0) {
                result = -1;
                break;
            }
        }
    }

    if (remaining > 0)
        memmove(conn->outBuffer, ptr, remaining);
    conn->outCount = remaining;
    return result;
}

int pqFlush(PGconn* conn) {
    if (conn->outCount > 0)
        return pqSendSome(conn, conn->outCount);
    return 0;
}

int pqSocketCheck(PGconn* conn, int forRead, int forWrite, time_t end_time) {
    return checkSocket(conn, forRead, forWrite, end_time);
}

int pqWaitTimed(int forRead, int forWrite, PGconn* conn, time_t finish_time) {
    int result = pqSocketCheck(conn, forRead, forWrite, finish_time);
    if (result < 0)
        return -1;
    if (result == 0) {
        // Only start-up waits with a time limit, and its texts accumulate.
        // Tagged, so that a server that stops answering reads as a failure
        // to connect rather than as an error of unknown kind.
        appendPQExpBufferStr(&conn->errorMessage, "<sqlstate>08001</sqlstate><primary>timeout expired</primary>");
        return 1;
    }
    return 0;
}

int pqWait(int forRead, int forWrite, PGconn* conn) {
    return pqWaitTimed(forRead, forWrite, conn, static_cast<time_t>(-1));
}

int pqReadReady(PGconn* conn) { return pqSocketCheck(conn, 1, 0, 0); }
