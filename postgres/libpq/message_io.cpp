// Values out of the input buffer and messages into the output buffer.
// Offsets are ints (the record's layout); every sum that could pass INT_MAX
// is computed in 64 bits first.
#include "postgres/libpq/message_io.h"

#include <arpa/inet.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "postgres/libpq/buffer_space.h"
#include "postgres/libpq/result_record.h"
#include "postgres/libpq/socket_io.h"

namespace {

constexpr int kSendBlock = 8192;

int putMsgBytes(const void* buf, size_t len, PGconn* conn) {
    if (pqCheckOutBufferSpace(static_cast<size_t>(conn->outMsgEnd) + len, conn))
        return EOF;
    memcpy(conn->outBuffer + conn->outMsgEnd, buf, len);
    conn->outMsgEnd += static_cast<int>(len);
    return 0;
}

int getsInternal(PQExpBuffer buf, PGconn* conn, bool resetbuffer) {
    const int end = conn->inEnd;
    const char* inBuffer = conn->inBuffer;
    int inCursor = conn->inCursor;
    while (inCursor < end && inBuffer[inCursor] != '\0')
        ++inCursor;
    if (inCursor >= end)
        return EOF;
    int slen = inCursor - conn->inCursor;
    if (resetbuffer)
        resetPQExpBuffer(buf);
    appendBinaryPQExpBuffer(buf, inBuffer + conn->inCursor, slen);
    conn->inCursor = inCursor + 1;
    return 0;
}

}  // namespace

int pqGetc(char* result, PGconn* conn) {
    if (conn->inCursor >= conn->inEnd)
        return EOF;
    *result = conn->inBuffer[conn->inCursor++];
    return 0;
}

int pqGets(PQExpBuffer buf, PGconn* conn) { return getsInternal(buf, conn, true); }

int pqGets_append(PQExpBuffer buf, PGconn* conn) { return getsInternal(buf, conn, false); }

int pqGetsBounded(PQExpBuffer buf, int end, PGconn* conn) {
    if (end > conn->inEnd)
        end = conn->inEnd;
    int cursor = conn->inCursor;
    while (cursor < end && conn->inBuffer[cursor] != '\0')
        ++cursor;
    if (cursor >= end)
        return EOF;
    resetPQExpBuffer(buf);
    appendBinaryPQExpBuffer(buf, conn->inBuffer + conn->inCursor, static_cast<size_t>(cursor - conn->inCursor));
    conn->inCursor = cursor + 1;
    return 0;
}

int pqGetnchar(char* s, size_t len, PGconn* conn) {
    if (len > static_cast<size_t>(conn->inEnd - conn->inCursor))
        return EOF;
    memcpy(s, conn->inBuffer + conn->inCursor, len);
    conn->inCursor += static_cast<int>(len);
    return 0;
}

int pqSkipnchar(size_t len, PGconn* conn) {
    if (len > static_cast<size_t>(conn->inEnd - conn->inCursor))
        return EOF;
    conn->inCursor += static_cast<int>(len);
    return 0;
}

int pqGetInt(int* result, size_t bytes, PGconn* conn) {
    switch (bytes) {
        case 2: {
            uint16_t tmp2;
            if (conn->inCursor + 2 > conn->inEnd)
                return EOF;
            memcpy(&tmp2, conn->inBuffer + conn->inCursor, 2);
            conn->inCursor += 2;
            *result = static_cast<int>(ntohs(tmp2));
            return 0;
        }
        case 4: {
            uint32_t tmp4;
            if (conn->inCursor + 4 > conn->inEnd)
                return EOF;
            memcpy(&tmp4, conn->inBuffer + conn->inCursor, 4);
            conn->inCursor += 4;
            *result = static_cast<int>(ntohl(tmp4));
            return 0;
        }
        default:
            pqInternalNotice(&conn->noticeHooks, "integer of size %lu not supported by pqGetInt",
                             static_cast<unsigned long>(bytes));
            return EOF;
    }
}

int pqPutc(char c, PGconn* conn) { return putMsgBytes(&c, 1, conn); }

int pqPuts(const char* s, PGconn* conn) { return putMsgBytes(s, strlen(s) + 1, conn); }

int pqPutnchar(const char* s, size_t len, PGconn* conn) { return putMsgBytes(s, len, conn); }

int pqPutInt(int value, size_t bytes, PGconn* conn) {
    switch (bytes) {
        case 2: {
            uint16_t tmp2 = htons(static_cast<uint16_t>(value));
            return putMsgBytes(&tmp2, 2, conn);
        }
        case 4: {
            uint32_t tmp4 = htonl(static_cast<uint32_t>(value));
            return putMsgBytes(&tmp4, 4, conn);
        }
        default:
            pqInternalNotice(&conn->noticeHooks, "integer of size %lu not supported by pqPutInt",
                             static_cast<unsigned long>(bytes));
            return EOF;
    }
}

int pqPutMsgStart(char msg_type, bool force_len, PGconn* conn) {
    int lenPos;
    int endPos = conn->outCount;
    if (msg_type)
        endPos++;
    if (force_len || PG_PROTOCOL_MAJOR(conn->pversion) >= 3) {
        lenPos = endPos;
        endPos += 4;
    } else {
        lenPos = -1;
    }
    if (pqCheckOutBufferSpace(endPos, conn))
        return EOF;
    if (msg_type)
        conn->outBuffer[conn->outCount] = msg_type;
    conn->outMsgStart = lenPos;
    conn->outMsgEnd = endPos;
    return 0;
}

int pqPutMsgEnd(PGconn* conn) {
    if (conn->outMsgStart >= 0) {
        uint32_t msgLen = htonl(static_cast<uint32_t>(conn->outMsgEnd - conn->outMsgStart));
        memcpy(conn->outBuffer + conn->outMsgStart, &msgLen, 4);
    }
    conn->outCount = conn->outMsgEnd;
    if (conn->outCount >= kSendBlock) {
        int toSend = conn->outCount - (conn->outCount % kSendBlock);
        if (pqSendSome(conn, toSend) < 0)
            return EOF;
        // In non-blocking mode part of the block may still be queued.
    }
    return 0;
}
