// Growable text buffer; see pq_exp_buffer.h for the broken-buffer contract.
#include "postgres/libpq/pq_exp_buffer.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Shared by every broken buffer; never written to.
char oom_buffer[1] = "";
char* const oom_buffer_ptr = oom_buffer;

void markPQExpBufferBroken(PQExpBuffer buf) {
    if (buf->data != oom_buffer_ptr)
        free(buf->data);
    buf->data = oom_buffer_ptr;
    buf->len = 0;
    buf->maxlen = 0;
}

// One formatting attempt into the free space. Returns true when done; false
// when the buffer was enlarged (or broken) and the caller should retry.
bool appendPQExpBufferVA(PQExpBuffer buf, const char* fmt, va_list args) {
    size_t needed = 32;
    if (buf->maxlen > buf->len + 16) {
        size_t avail = buf->maxlen - buf->len;
        va_list copy;
        va_copy(copy, args);
        int nprinted = vsnprintf(buf->data + buf->len, avail, fmt, copy);
        va_end(copy);
        if (nprinted < 0) {
            if (errno != ENOMEM) {
                markPQExpBufferBroken(buf);
                return true;
            }
            needed = avail * 2;
        } else if (static_cast<size_t>(nprinted) < avail - 1) {
            buf->len += nprinted;
            return true;
        } else {
            if (static_cast<size_t>(nprinted) > INT_MAX - 2) {
                markPQExpBufferBroken(buf);
                return true;
            }
            needed = nprinted + 2;
        }
        if (needed > INT_MAX)
            needed = INT_MAX;
    }
    // enlarge breaks the buffer itself on failure; a broken buffer ends the loop.
    if (!enlargePQExpBuffer(buf, needed))
        return true;
    return false;
}

// Formats onto the end, enlarging until the text fits; a broken buffer stays
// broken. appendPQExpBufferVA copies `args`, so each attempt starts afresh.
void appendFormatted(PQExpBuffer buf, const char* fmt, va_list args) {
    if (PQExpBufferBroken(buf))
        return;
    while (!appendPQExpBufferVA(buf, fmt, args)) {
    }
}

}  // namespace

void initPQExpBuffer(PQExpBuffer buf) {
    buf->data = static_cast<char*>(malloc(INITIAL_EXPBUFFER_SIZE));
    if (buf->data == nullptr) {
        buf->data = oom_buffer_ptr;
        buf->maxlen = 0;
    } else {
        buf->maxlen = INITIAL_EXPBUFFER_SIZE;
        buf->data[0] = '\0';
    }
    buf->len = 0;
}

void termPQExpBuffer(PQExpBuffer buf) {
    if (buf->data != oom_buffer_ptr)
        free(buf->data);
    buf->data = oom_buffer_ptr;
    buf->len = 0;
    buf->maxlen = 0;
}

void resetPQExpBuffer(PQExpBuffer buf) {
    if (buf == nullptr)
        return;
    if (buf->data != oom_buffer_ptr) {
        buf->len = 0;
        buf->data[0] = '\0';
    } else {
        initPQExpBuffer(buf);
    }
}

int enlargePQExpBuffer(PQExpBuffer buf, size_t needed) {
    if (PQExpBufferBroken(buf))
        return 0;
    // Sizes stay below INT_MAX so that every length fits the int offsets used
    // by the message routines.
    if (needed >= static_cast<size_t>(INT_MAX) - buf->len) {
        markPQExpBufferBroken(buf);
        return 0;
    }
    needed += buf->len + 1;
    if (needed <= buf->maxlen)
        return 1;
    size_t newlen = buf->maxlen > 0 ? 2 * buf->maxlen : 64;
    while (needed > newlen)
        newlen = 2 * newlen;
    if (newlen > static_cast<size_t>(INT_MAX))
        newlen = INT_MAX;
    char* newdata = static_cast<char*>(realloc(buf->data, newlen));
    if (newdata == nullptr) {
        markPQExpBufferBroken(buf);
        return 0;
    }
    buf->data = newdata;
    buf->maxlen = newlen;
    return 1;
}

void printfPQExpBuffer(PQExpBuffer buf, const char* fmt, ...) {
    // A reset gives a broken buffer a fresh allocation, so a new text can be
    // written after an earlier one ran out of memory.
    resetPQExpBuffer(buf);
    va_list args;
    va_start(args, fmt);
    appendFormatted(buf, fmt, args);
    va_end(args);
}

void appendPQExpBuffer(PQExpBuffer buf, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    appendFormatted(buf, fmt, args);
    va_end(args);
}

void appendPQExpBufferStr(PQExpBuffer buf, const char* str) { appendBinaryPQExpBuffer(buf, str, strlen(str)); }

void appendPQExpBufferChar(PQExpBuffer buf, char ch) {
    if (!enlargePQExpBuffer(buf, 1))
        return;
    buf->data[buf->len] = ch;
    buf->len++;
    buf->data[buf->len] = '\0';
}

void appendBinaryPQExpBuffer(PQExpBuffer buf, const char* data, size_t datalen) {
    if (!enlargePQExpBuffer(buf, datalen))
        return;
    memcpy(buf->data + buf->len, data, datalen);
    buf->len += datalen;
    buf->data[buf->len] = '\0';
}
