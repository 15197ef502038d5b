// PQExpBuffer: the growable, NUL-terminated text buffer in which the
// wire-protocol client builds every message, start-up packet and error text.
//
// A buffer that could not grow is "broken": its data points at one shared
// empty string and len and maxlen are 0. Every function tolerates a broken
// buffer and keeps it broken, so a caller may build a whole text and check
// once at the end (PQExpBufferBroken) instead of after every append.
#pragma once

#include <cstddef>

typedef struct PQExpBufferData {
    char* data;
    size_t len;
    size_t maxlen;
} PQExpBufferData;

typedef PQExpBufferData* PQExpBuffer;

#define INITIAL_EXPBUFFER_SIZE 256

inline bool PQExpBufferBroken(const PQExpBufferData* buf) { return buf == nullptr || buf->maxlen == 0; }
inline bool PQExpBufferDataBroken(const PQExpBufferData& buf) { return buf.maxlen == 0; }

void initPQExpBuffer(PQExpBuffer buf);
void termPQExpBuffer(PQExpBuffer buf);
void resetPQExpBuffer(PQExpBuffer buf);
int enlargePQExpBuffer(PQExpBuffer buf, size_t needed);
void printfPQExpBuffer(PQExpBuffer buf, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void appendPQExpBuffer(PQExpBuffer buf, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void appendPQExpBufferStr(PQExpBuffer buf, const char* str);
void appendPQExpBufferChar(PQExpBuffer buf, char ch);
void appendBinaryPQExpBuffer(PQExpBuffer buf, const char* data, size_t datalen);
