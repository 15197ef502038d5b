// COPY data in both directions. Sending goes through the output buffer in
// whole 8 KiB blocks; after every write whatever the server has sent is read
// and parsed, so that a notice per row cannot fill both directions at once
// and a server that has failed the copy is noticed before the rest of the
// data is pushed at it.
#include "postgres/libpq/copy_data.h"

#include <arpa/inet.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "error/tagged_text.h"
#include "postgres/libpq/buffer_space.h"
#include "postgres/libpq/message_io.h"
#include "postgres/libpq/parameter_status.h"
#include "postgres/libpq/protocol3_parser.h"
#include "postgres/libpq/query_execution.h"
#include "postgres/libpq/result_record.h"
#include "postgres/libpq/socket_io.h"

namespace {

constexpr int kSendBlock = 8192;
// Copy data is sent once this much is queued: one send and one look at the
// server's messages per 64 KiB, not per 8 KiB block.
constexpr int kCopySendSize = 64 * 1024;
constexpr int kHeaderSize = 5;  // type byte and length word

bool isProtocol3(const PGconn* conn) { return PG_PROTOCOL_MAJOR(conn->pversion) >= 3; }

bool copyInRunning(const PGconn* conn) {
    return conn->asyncStatus == PGASYNC_COPY_IN || conn->asyncStatus == PGASYNC_COPY_BOTH;
}

bool copyOutRunning(const PGconn* conn) {
    return conn->asyncStatus == PGASYNC_COPY_OUT || conn->asyncStatus == PGASYNC_COPY_BOTH;
}

void refuseNoCopy(PGconn* conn) { printfPQExpBuffer(&conn->errorMessage, "No COPY is in progress."); }

// Takes notices and notifications out of the input buffer; the copy state
// stops the parser at anything else.
void parseBufferedInput(PGconn* conn) { pqParseInput(conn); }

// A complete ErrorResponse at the head of the input while a copy-in runs
// means the server has failed the COPY: it now discards whatever data
// arrives.
bool serverHasFailedCopy(const PGconn* conn) {
    if (!isProtocol3(conn) || !copyInRunning(conn))
        return false;
    int avail = conn->inEnd - conn->inStart;
    if (avail < kHeaderSize || conn->inBuffer[conn->inStart] != 'E')
        return false;
    uint32_t netLength;
    memcpy(&netLength, conn->inBuffer + conn->inStart + 1, 4);
    int64_t length = static_cast<int64_t>(ntohl(netLength));
    return length < 4 || 1 + length <= avail;  // a bad length is the parser's to report
}

// Leaves the failed copy so that the error is parsed and handed out by
// PQgetResult; after an extended-protocol COPY the server skips to the next
// Sync, which it would otherwise never get. The error text becomes the
// connection's.
void leaveFailedCopy(PGconn* conn) {
    conn->asyncStatus = PGASYNC_BUSY;
    if (conn->queryclass != PGQUERY_SIMPLE) {
        // Behind whatever data is still queued; a failure here surfaces when
        // PQgetResult flushes.
        if (pqPutMsgStart('S', false, conn) == 0)
            pqPutMsgEnd(conn);
    }
    resetPQExpBuffer(&conn->errorMessage);
    pqParseInput3(conn);
    if (conn->errorMessage.len == 0) {
        printfPQExpBuffer(
            &conn->errorMessage, "%s",
            kelvoapi::TaggedText().Sqlstate("08P01").Primary("The server ended the COPY with an error.").c_str());
    }
}

bool takeServerFailure(PGconn* conn) {
    if (!serverHasFailedCopy(conn))
        return false;
    leaveFailedCopy(conn);
    return true;
}

// Drops the first `sent` bytes of the output buffer.
void consumeOutput(PGconn* conn, int sent) {
    if (sent <= 0)
        return;
    conn->outCount -= sent;
    if (conn->outCount > 0)
        memmove(conn->outBuffer, conn->outBuffer + sent, static_cast<size_t>(conn->outCount));
}

// Sends queued output (everything, or only whole 8 KiB blocks), waiting
// while the socket is full. After every write the server's messages are
// read and parsed, so that its notices are taken out and an error that fails
// the copy stops the sending with -1. 0 when sent (or when the server has
// already answered the end of the copy: the rest goes out with the next
// flush), 1 when a non-blocking connection still has output queued, -1 on
// failure. The unsent bytes are moved to the front once, at the end, not
// after every write.
int sendWatching(PGconn* conn, bool wholeBlocksOnly) {
    const int toSend = wholeBlocksOnly ? conn->outCount - conn->outCount % kSendBlock : conn->outCount;
    if (toSend <= 0)
        return 0;
    if (conn->sock < 0)
        return pqSendSome(conn, toSend);  // writes the not-open text
    int sent = 0;
    int result = 0;
    while (sent < toSend) {
        ssize_t n = pqsecure_raw_write(conn, conn->outBuffer + sent, static_cast<size_t>(toSend - sent));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                // The text is written; whatever is queued cannot go out,
                // and what went before it may be half a message.
                conn->outCount = 0;
                if (conn->status == CONNECTION_OK)
                    conn->status = CONNECTION_BAD;
                return -1;
            }
            n = 0;
        }
        sent += static_cast<int>(n);
        if (pqReadData(conn) < 0) {
            result = -1;
            break;
        }
        parseBufferedInput(conn);
        if (serverHasFailedCopy(conn)) {
            consumeOutput(conn, sent);
            leaveFailedCopy(conn);
            return -1;
        }
        if (conn->asyncStatus == PGASYNC_READY || conn->asyncStatus == PGASYNC_IDLE)
            break;
        if (sent < toSend) {
            if (conn->nonblocking) {
                result = 1;
                break;
            }
            if (n == 0 && pqWait(1, 1, conn) != 0) {
                result = -1;
                break;
            }
        }
    }
    consumeOutput(conn, sent);
    return result;
}

// Reads one ParameterStatus body (type and length already read), neither
// string running past the message's end.
int takeParameterStatus(PGconn* conn, int msgEnd) {
    if (pqGetsBounded(&conn->workBuffer, msgEnd, conn))
        return EOF;
    std::string name(conn->workBuffer.data, conn->workBuffer.len);
    if (pqGetsBounded(&conn->workBuffer, msgEnd, conn))
        return EOF;
    pqSaveParameterStatus(conn, name.c_str(), conn->workBuffer.data);
    return 0;
}

// Scans the input for the next CopyData message. Returns its body length,
// with inCursor at the body (the message not yet consumed); 0 when no
// complete data message is buffered; -1 at the end of the copy; -2 on
// failure. Empty data messages are consumed and skipped.
int nextCopyDataMessage(PGconn* conn) {
    for (;;) {
        conn->inCursor = conn->inStart;
        char id;
        int msgLength;
        if (pqGetc(&id, conn) || pqGetInt(&msgLength, 4, conn))
            return 0;
        if (msgLength < 4) {
            pqHandleSyncLoss(conn, id, msgLength);
            return -2;
        }
        const int bodyLength = msgLength - 4;
        if (conn->inEnd - conn->inCursor < bodyLength) {
            if (pqCheckInBufferSpace(static_cast<size_t>(conn->inCursor) + static_cast<size_t>(bodyLength), conn)) {
                pqHandleSyncLoss(conn, id, msgLength);
                return -2;
            }
            return 0;
        }
        const int msgEnd = conn->inCursor + bodyLength;
        switch (id) {
            case 'A':
            case 'N': {
                // The parser handles these in every state and stops at the
                // first message that belongs to the copy.
                int before = conn->inStart;
                pqParseInput3(conn);
                if (conn->inStart == before)
                    return -2;  // cannot happen: the message is whole
                if (conn->status == CONNECTION_BAD)
                    return -2;
                continue;
            }
            case 'S':
                if (takeParameterStatus(conn, msgEnd)) {
                    pqHandleSyncLoss(conn, id, msgLength);
                    return -2;
                }
                conn->inStart = msgEnd;
                continue;
            case 'd':
                if (bodyLength == 0) {
                    conn->inStart = msgEnd;
                    continue;
                }
                return bodyLength;
            case 'c':
                conn->inStart = msgEnd;
                conn->asyncStatus = conn->asyncStatus == PGASYNC_COPY_BOTH ? PGASYNC_COPY_IN : PGASYNC_BUSY;
                return -1;
            default:
                // Left for PQgetResult: normally CommandComplete or an error.
                conn->asyncStatus = PGASYNC_BUSY;
                return -1;
        }
    }
}

// A new block with the bytes and a NUL after them, or null with the text.
char* copyOut(PGconn* conn, const char* bytes, int length) {
    auto* block = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
    if (block == nullptr) {
        printfPQExpBuffer(&conn->errorMessage, "out of memory");
        return nullptr;
    }
    memcpy(block, bytes, static_cast<size_t>(length));
    block[length] = '\0';
    return block;
}

int getCopyData3(PGconn* conn, char** buffer, int async) {
    for (;;) {
        int length = nextCopyDataMessage(conn);
        if (length < 0)
            return length;
        if (length > 0) {
            *buffer = copyOut(conn, conn->inBuffer + conn->inCursor, length);
            if (*buffer == nullptr)
                return -2;
            conn->inStart = conn->inCursor + length;
            return length;
        }
        if (async)
            return 0;
        if (pqReadBlocking(conn) < 0)
            return -2;
    }
}

// Protocol 2 sends copy data as text lines, ended by the line "\.".
int getCopyData2(PGconn* conn, char** buffer, int async) {
    for (;;) {
        const char* start = conn->inBuffer + conn->inStart;
        const void* newline = memchr(start, '\n', static_cast<size_t>(conn->inEnd - conn->inStart));
        if (newline != nullptr) {
            int length = static_cast<int>(static_cast<const char*>(newline) - start) + 1;
            if (length == 3 && memcmp(start, "\\.\n", 3) == 0) {
                conn->inStart += 3;
                conn->asyncStatus = PGASYNC_BUSY;
                return -1;
            }
            *buffer = copyOut(conn, start, length);
            if (*buffer == nullptr)
                return -2;
            conn->inStart += length;
            return length;
        }
        if (async)
            return 0;
        if (pqReadBlocking(conn) < 0)
            return -2;
    }
}

}  // namespace

int PQputCopyData(PGconn* conn, const char* buffer, int nbytes) {
    if (conn == nullptr)
        return -1;
    if (!copyInRunning(conn)) {
        refuseNoCopy(conn);
        return -1;
    }
    if (nbytes < 0) {
        printfPQExpBuffer(&conn->errorMessage, "%s",
                          kelvoapi::TaggedText()
                              .Sqlstate("22023")
                              .Primary("The size of the COPY data is negative (%d).", nbytes)
                              .c_str());
        return -1;
    }
    if (nbytes > 0 && buffer == nullptr) {
        printfPQExpBuffer(&conn->errorMessage, "%s",
                          kelvoapi::TaggedText().Sqlstate("22023").Primary("The COPY data is a null pointer.").c_str());
        return -1;
    }

    parseBufferedInput(conn);
    if (takeServerFailure(conn))
        return -1;
    if (nbytes == 0)
        return 1;

    const int header = isProtocol3(conn) ? kHeaderSize : 0;
    if (conn->outBufSize < 2 * kCopySendSize) {
        // Growing is an optimisation: failing to grow changes nothing.
        if (char* grown = static_cast<char*>(realloc(conn->outBuffer, 2 * kCopySendSize))) {
            conn->outBuffer = grown;
            conn->outBufSize = 2 * kCopySendSize;
        }
    }
    if (static_cast<int64_t>(conn->outBufSize) - conn->outCount - kHeaderSize < nbytes) {
        int rc = sendWatching(conn, false);
        if (rc < 0)
            return -1;
        if (rc > 0)
            return 0;  // non-blocking and still full
        const int64_t needed = static_cast<int64_t>(conn->outCount) + header + nbytes;
        if (needed > INT_MAX) {
            printfPQExpBuffer(&conn->errorMessage, "%s",
                              kelvoapi::TaggedText()
                                  .Sqlstate("54000")
                                  .Primary("The COPY data of %d bytes does not fit into one message.", nbytes)
                                  .c_str());
            return -1;
        }
        if (pqCheckOutBufferSpace(static_cast<size_t>(needed), conn))
            return conn->nonblocking ? 0 : -1;
    }

    // Straight into the output buffer: no copy of the caller's block.
    char* out = conn->outBuffer + conn->outCount;
    if (header != 0) {
        out[0] = 'd';
        uint32_t netLength = htonl(static_cast<uint32_t>(nbytes) + 4);
        memcpy(out + 1, &netLength, 4);
    }
    memcpy(out + header, buffer, static_cast<size_t>(nbytes));
    conn->outCount += header + nbytes;

    if (conn->outCount >= kCopySendSize && sendWatching(conn, false) < 0)
        return -1;
    return 1;
}

int PQputCopyEnd(PGconn* conn, const char* errormsg) {
    if (conn == nullptr)
        return -1;
    if (!copyInRunning(conn)) {
        refuseNoCopy(conn);
        return -1;
    }

    if (isProtocol3(conn)) {
        if (errormsg != nullptr) {
            if (pqPutMsgStart('f', false, conn) < 0 || pqPuts(errormsg, conn) < 0 || pqPutMsgEnd(conn) < 0)
                return -1;
        } else {
            if (pqPutMsgStart('c', false, conn) < 0 || pqPutMsgEnd(conn) < 0)
                return -1;
        }
        if (conn->queryclass != PGQUERY_SIMPLE) {
            if (pqPutMsgStart('S', false, conn) < 0 || pqPutMsgEnd(conn) < 0)
                return -1;
        }
    } else {
        if (errormsg != nullptr) {
            printfPQExpBuffer(&conn->errorMessage, "This function requires at least protocol version 3.0.");
            return -1;
        }
        if (pqPutMsgStart(0, false, conn) < 0 || pqPutnchar("\\.\n", 3, conn) < 0 || pqPutMsgEnd(conn) < 0)
            return -1;
    }

    conn->asyncStatus = conn->asyncStatus == PGASYNC_COPY_BOTH ? PGASYNC_COPY_OUT : PGASYNC_BUSY;
    resetPQExpBuffer(&conn->errorMessage);

    return sendWatching(conn, false) < 0 ? -1 : 1;
}

int PQgetCopyData(PGconn* conn, char** buffer, int async) {
    if (buffer != nullptr)
        *buffer = nullptr;
    if (conn == nullptr)
        return -2;
    if (buffer == nullptr) {
        printfPQExpBuffer(&conn->errorMessage, "%s",
                          kelvoapi::TaggedText()
                              .Sqlstate("22023")
                              .Primary("The buffer pointer given to `PQgetCopyData` is a null pointer.")
                              .c_str());
        return -2;
    }
    if (!copyOutRunning(conn)) {
        refuseNoCopy(conn);
        return -2;
    }
    return isProtocol3(conn) ? getCopyData3(conn, buffer, async) : getCopyData2(conn, buffer, async);
}
