// Moving COPY data once a statement has put the connection into a copy state:
// rows out to the server during COPY FROM STDIN, rows in from it during COPY
// TO STDOUT. The inserter streams its data chunks through PQputCopyData; the
// rowset reads copy-out data through PQgetCopyData.
#pragma once

#include "postgres/libpq/connection_record.h"

// 1 when the bytes are queued (nothing is sent for nbytes 0); 0 when a
// non-blocking connection has no room; -1 with a text on failure, a negative
// nbytes, outside a copy, and once the server has failed the copy (the text
// is then the server's error, whose result PQgetResult hands out next).
int PQputCopyData(PGconn* conn, const char* buffer, int nbytes);

// Ends the copy: CopyDone, or CopyFail with errormsg as the reason; Sync
// after a COPY sent through the extended protocol. 1 when sent, -1 on failure.
int PQputCopyEnd(PGconn* conn, const char* errormsg);

// One data message (protocol 3) or line (protocol 2) in a new malloc'ed
// block, NUL-terminated past the returned length; 0 when async and nothing
// complete is buffered; -1 at the end of the copy; -2 on failure. *buffer is
// set to null first in every case.
int PQgetCopyData(PGconn* conn, char** buffer, int async);
