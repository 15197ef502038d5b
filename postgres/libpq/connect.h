// Opening, following and closing one protocol connection: the start
// functions, the non-blocking state machine PQconnectPoll over the host list
// (with the server's redirect message), the blocking completion, PQfinish,
// PQreset, and the status and notice-hook accessors (PQparameterStatus is in
// parameter_status.h).
#pragma once

#include <cstdio>

#include "postgres/libpq/connection_record.h"
#include "postgres/libpq/libpq_types.h"

PGconn* PQconnectdbParams(const char* const* keywords, const char* const* values, int expand_dbname);
PGconn* PQconnectStartParams(const char* const* keywords, const char* const* values, int expand_dbname);
PGconn* PQconnectdb(const char* conninfo);
PGconn* PQconnectStart(const char* conninfo);
PostgresPollingStatusType PQconnectPoll(PGconn* conn);

void PQfinish(PGconn* conn);
void PQreset(PGconn* conn);
int PQresetStart(PGconn* conn);
PostgresPollingStatusType PQresetPoll(PGconn* conn);

ConnStatusType PQstatus(const PGconn* conn);
char* PQerrorMessage(const PGconn* conn);
PQnoticeReceiver PQsetNoticeReceiver(PGconn* conn, PQnoticeReceiver proc, void* arg);
PQnoticeProcessor PQsetNoticeProcessor(PGconn* conn, PQnoticeProcessor proc, void* arg);

int PQsocket(const PGconn* conn);
int PQbackendPID(const PGconn* conn);
PGTransactionStatusType PQtransactionStatus(const PGconn* conn);
int PQprotocolVersion(const PGconn* conn);
int PQserverVersion(const PGconn* conn);
char* PQdb(const PGconn* conn);
char* PQuser(const PGconn* conn);
char* PQpass(const PGconn* conn);
char* PQhost(const PGconn* conn);
char* PQport(const PGconn* conn);
char* PQoptions(const PGconn* conn);
int PQconnectionNeedsPassword(const PGconn* conn);
int PQconnectionUsedPassword(const PGconn* conn);
PGVerbosity PQsetErrorVerbosity(PGconn* conn, PGVerbosity verbosity);
PGContextVisibility PQsetErrorContextVisibility(PGconn* conn, PGContextVisibility show_context);
void PQtrace(PGconn* conn, FILE* debug_port);
void PQuntrace(PGconn* conn);

// Runs PQconnectPoll, waiting on the socket in between, until the attempt
// succeeds (1) or fails (0); connect_timeout bounds each address's wait.
// Used by PQconnectdbParams, PQreset and ping.
int pqConnectDBComplete(PGconn* conn);
// Begins an attempt with options already accepted; 0 when it failed at once.
int pqConnectDBStart(PGconn* conn);
