// Cancelling the statement a connection runs: a cancel handle that copies the
// connection's server address and key, and the CancelRequest sent over a
// socket of its own. The database API keeps one handle per connection and may
// cancel from any thread while another waits on the connection.
#pragma once

#include "postgres/libpq/connection_record.h"
#include "postgres/libpq/libpq_types.h"

struct pg_cancel {
    SockAddr raddr;
    int be_pid;
    int be_key;
};

// A new handle, or null when conn is null, has no socket or memory runs out.
// The handle does not refer to the connection and outlives it.
PGcancel* PQgetCancel(PGconn* conn);
void PQfreeCancel(PGcancel* cancel);

// 1 when the request was sent; 0 with a text in errbuf (at most errbufsize
// bytes, NUL included; nothing for a size of 0 or less). Allocates nothing,
// keeps errno and never waits longer than kCancelTimeLimitMs.
int PQcancel(PGcancel* cancel, char* errbuf, int errbufsize);

// PQcancel through the connection's own address and key, with the failure
// text in the connection's errorMessage.
int PQrequestCancel(PGconn* conn);

// How long a cancel may take to connect, send and see the server close.
constexpr int kCancelTimeLimitMs = 10000;

// PQcancel with its own time limit (tests use a short one). When given,
// *unanswered tells whether the request went out but the server did not
// close within the limit: one that never acts on it.
int pqCancelWithin(const PGcancel* cancel, char* errbuf, int errbufsize, int timeLimitMs, bool* unanswered = nullptr);
