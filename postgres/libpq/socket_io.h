// Socket I/O of a connection: filling the input buffer, draining the output
// buffer, SIGPIPE suppression and readiness waits. The socket is always in
// non-blocking mode; blocking behaviour comes from the waits.
#pragma once

#include <sys/types.h>

#include <ctime>

#include "postgres/libpq/connection_record.h"

// 1 data read, 0 nothing available, -1 failure or end of connection.
int pqReadData(PGconn* conn);
// Reads, waiting on the socket only when nothing has arrived: 1 data read,
// -1 failure or end of connection.
int pqReadBlocking(PGconn* conn);
// Sends len bytes of the queued output: 0 all sent, 1 some left (non-blocking
// mode), -1 failure.
int pqSendSome(PGconn* conn, int len);
// Sends everything queued, with the same results.
int pqFlush(PGconn* conn);

// 0 ready, 1 time-out (08001 "timeout expired" appended to the error text), -1
// failure.
int pqWait(int forRead, int forWrite, PGconn* conn);
int pqWaitTimed(int forRead, int forWrite, PGconn* conn, time_t finish_time);
// >0 ready, 0 time-out, <0 failure; end_time -1 waits without limit.
int pqSocketCheck(PGconn* conn, int forRead, int forWrite, time_t end_time);
int pqReadReady(PGconn* conn);

// One receive / one send, with errno preserved for the caller.
ssize_t pqsecure_read(PGconn* conn, void* ptr, size_t len);
ssize_t pqsecure_raw_write(PGconn* conn, const void* ptr, size_t len);
void pqsecure_close(PGconn* conn);
