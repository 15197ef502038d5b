// Sending statements over an established connection and handing the
// server's answers back as results, whole or in chunks of a chosen number of
// rows. Every function returns its failure value for a null connection and
// leaves its failure text in the connection's errorMessage.
#pragma once

#include <cstdint>

#include "postgres/libpq/connection_record.h"

// Sending: 1 when queued and flushed as far as possible, 0 on failure.
int PQsendQuery(PGconn* conn, const char* query);
int PQsendQueryParams(PGconn* conn, const char* command, int nParams, const Oid* paramTypes,
                      const char* const* paramValues, const int* paramLengths, const int* paramFormats,
                      int resultFormat);
int PQsendPrepare(PGconn* conn, const char* stmtName, const char* query, int nParams, const Oid* paramTypes);
int PQsendQueryPrepared(PGconn* conn, const char* stmtName, int nParams, const char* const* paramValues,
                        const int* paramLengths, const int* paramFormats, int resultFormat);

// Asks for the running statement's rows in results of chunkSize rows (0:
// whole). Only between a sending function and the first parse of its answer.
int PQsetChunkedMode(PGconn* conn, uint32_t chunkSize);

// The next result of the running statement (blocking), or null when it is
// complete. The caller frees it with PQclear.
PGresult* PQgetResult(PGconn* conn);
PGresult* PQexec(PGconn* conn, const char* query);
bool PQexecStart(PGconn* conn);
PGresult* PQexecFinish(PGconn* conn);

// Reads what the socket has without blocking; 1 unless the read failed.
int PQconsumeInput(PGconn* conn);
// Parses what is buffered; 1 when PQgetResult would block.
int PQisBusy(PGconn* conn);

// Parses buffered input with the dispatcher of the connection's protocol.
void pqParseInput(PGconn* conn);
