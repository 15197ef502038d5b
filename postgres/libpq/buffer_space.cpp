// Growing a connection's input and output buffers (see buffer_space.h).
#include "postgres/libpq/buffer_space.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// The step of growth once doubling has failed, and the first size.
constexpr int kGrowStep = 8192;

// Grows a byte buffer to hold at least `needed` bytes: doubling first, then
// 8 KiB steps; never beyond INT_MAX.
bool growByteBuffer(char*& buffer, int& size, int64_t needed) {
    if (needed > INT_MAX)
        return false;
    int64_t newsize = size > 0 ? size : kGrowStep;
    while (newsize < needed)
        newsize *= 2;
    if (newsize > INT_MAX)
        newsize = INT_MAX;
    char* grown = static_cast<char*>(realloc(buffer, static_cast<size_t>(newsize)));
    if (grown == nullptr) {
        newsize = size;
        while (newsize < needed)
            newsize += kGrowStep;
        if (newsize > INT_MAX)
            newsize = INT_MAX;
        grown = static_cast<char*>(realloc(buffer, static_cast<size_t>(newsize)));
    }
    if (grown == nullptr)
        return false;
    buffer = grown;
    size = static_cast<int>(newsize);
    return true;
}

}  // namespace

int pqCheckOutBufferSpace(size_t bytes_needed, PGconn* conn) {
    if (bytes_needed <= static_cast<size_t>(conn->outBufSize))
        return 0;
    if (bytes_needed <= static_cast<size_t>(INT_MAX) &&
        growByteBuffer(conn->outBuffer, conn->outBufSize, static_cast<int64_t>(bytes_needed)))
        return 0;
    printfPQExpBuffer(&conn->errorMessage, "cannot allocate memory for output buffer\n");
    return EOF;
}

int pqCheckInBufferSpace(size_t bytes_needed, PGconn* conn) {
    // Compacting first may make room without growing.
    if (conn->inStart < conn->inEnd) {
        if (conn->inStart > 0) {
            memmove(conn->inBuffer, conn->inBuffer + conn->inStart, conn->inEnd - conn->inStart);
            conn->inEnd -= conn->inStart;
            conn->inCursor -= conn->inStart;
            if (bytes_needed >= static_cast<size_t>(conn->inStart)) {
                bytes_needed -= conn->inStart;
            } else {
                bytes_needed = 0;
            }
            conn->inStart = 0;
        }
    } else {
        if (bytes_needed >= static_cast<size_t>(conn->inStart)) {
            bytes_needed -= conn->inStart;
        } else {
            bytes_needed = 0;
        }
        conn->inStart = conn->inCursor = conn->inEnd = 0;
    }
    if (bytes_needed <= static_cast<size_t>(conn->inBufSize))
        return 0;
    if (bytes_needed <= static_cast<size_t>(INT_MAX) &&
        growByteBuffer(conn->inBuffer, conn->inBufSize, static_cast<int64_t>(bytes_needed)))
        return 0;
    printfPQExpBuffer(&conn->errorMessage, "cannot allocate memory for input buffer\n");
    return EOF;
}
