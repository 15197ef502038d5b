// Reading values out of a connection's input buffer and building messages in
// its output buffer. No function here touches the socket except that
// pqPutMsgEnd hands full 8 KiB blocks to pqSendSome (socket_io.h).
//
// All return 0 on success and EOF (-1) on failure. A "get" that fails because
// the bytes have not arrived yet is not an error: its caller resets inCursor
// and waits for more input. Gets never read past inEnd.
#pragma once

#include <cstddef>

#include "postgres/libpq/connection_record.h"
#include "postgres/libpq/pq_exp_buffer.h"

int pqGetc(char* result, PGconn* conn);
int pqGets(PQExpBuffer buf, PGconn* conn);
int pqGets_append(PQExpBuffer buf, PGconn* conn);
int pqGetnchar(char* s, size_t len, PGconn* conn);
int pqSkipnchar(size_t len, PGconn* conn);
// 2 bytes are read unsigned, 4 bytes signed.
int pqGetInt(int* result, size_t bytes, PGconn* conn);

// String reads bounded by a message end: like pqGets, but fails when no NUL
// comes before `end` (an offset into inBuffer, at most inEnd).
int pqGetsBounded(PQExpBuffer buf, int end, PGconn* conn);

int pqPutc(char c, PGconn* conn);
int pqPuts(const char* s, PGconn* conn);
int pqPutnchar(const char* s, size_t len, PGconn* conn);
int pqPutInt(int value, size_t bytes, PGconn* conn);

// Begins a message after the queued bytes: the type byte unless msg_type is
// 0, then a length word on protocol 3 or when force_len is set.
int pqPutMsgStart(char msg_type, bool force_len, PGconn* conn);
// Fills in the length, queues the message and sends whole 8 KiB blocks.
int pqPutMsgEnd(PGconn* conn);
