// The wire-protocol client's own types: status enumerations, callback
// typedefs and the small records that results, connections and their callers
// share. The connection and result records themselves live in
// connection_record.h and result_record.h.
#pragma once

#include <cstddef>
#include <cstdint>

typedef unsigned int Oid;

typedef enum {
    CONNECTION_OK = 0,
    CONNECTION_BAD = 1,
    CONNECTION_STARTED = 2,
    CONNECTION_MADE = 3,
    CONNECTION_AWAITING_RESPONSE = 4,
    CONNECTION_AUTH_OK = 5,
    CONNECTION_SETENV = 6,
    CONNECTION_SSL_STARTUP = 7,
    CONNECTION_NEEDED = 8,
    CONNECTION_CHECK_WRITABLE = 9,
    CONNECTION_CONSUME = 10,
    CONNECTION_AWAITING_REDIRECT = 11
} ConnStatusType;

typedef enum {
    PGRES_POLLING_FAILED = 0,
    PGRES_POLLING_READING = 1,
    PGRES_POLLING_WRITING = 2,
    PGRES_POLLING_OK = 3,
    PGRES_POLLING_ACTIVE = 4
} PostgresPollingStatusType;

typedef enum {
    PGRES_EMPTY_QUERY = 0,
    PGRES_COMMAND_OK = 1,
    PGRES_TUPLES_OK = 2,
    PGRES_COPY_OUT = 3,
    PGRES_COPY_IN = 4,
    PGRES_BAD_RESPONSE = 5,
    PGRES_NONFATAL_ERROR = 6,
    PGRES_FATAL_ERROR = 7,
    PGRES_COPY_BOTH = 8,
    PGRES_TUPLES_CHUNK = 9
} ExecStatusType;

typedef enum {
    PQTRANS_IDLE = 0,
    PQTRANS_ACTIVE = 1,
    PQTRANS_INTRANS = 2,
    PQTRANS_INERROR = 3,
    PQTRANS_UNKNOWN = 4
} PGTransactionStatusType;

typedef enum { PQERRORS_TERSE = 0, PQERRORS_DEFAULT = 1, PQERRORS_VERBOSE = 2 } PGVerbosity;

typedef enum { PQSHOW_CONTEXT_NEVER = 0, PQSHOW_CONTEXT_ERRORS = 1, PQSHOW_CONTEXT_ALWAYS = 2 } PGContextVisibility;

typedef enum { PQPING_OK = 0, PQPING_REJECT = 1, PQPING_NO_RESPONSE = 2, PQPING_NO_ATTEMPT = 3 } PGPing;

typedef struct pg_conn PGconn;
typedef struct pg_result PGresult;
typedef struct pg_cancel PGcancel;

// A received NotificationResponse; relname and extra point into the same
// heap block as the record.
typedef struct pgNotify {
    char* relname;
    int be_pid;
    char* extra;
    struct pgNotify* next;
} PGnotify;

typedef void (*PQnoticeReceiver)(void* arg, const PGresult* res);
typedef void (*PQnoticeProcessor)(void* arg, const char* message);

typedef void (*pgthreadlock_t)(int acquire);

// One column description of a result.
typedef struct pgresAttDesc {
    char* name;
    Oid tableid;
    int columnid;
    int format;
    Oid typid;
    int typlen;
    int atttypmod;
} PGresAttDesc;

// Notice hooks travel with the connection and are copied into each result.
typedef struct {
    PQnoticeReceiver noticeRec;
    void* noticeRecArg;
    PQnoticeProcessor noticeProc;
    void* noticeProcArg;
} PGNoticeHooks;

// Event procedures are carried along but never registered by the library.
typedef int (*PGEventProc)(int evtId, void* evtInfo, void* passThrough);

typedef struct PGEvent {
    PGEventProc proc;
    char* name;
    void* passThrough;
    void* data;
    bool resultInitialized;
} PGEvent;

// One field of a row being parsed: a length (-1 for NULL) and where its bytes
// sit in the input buffer.
typedef struct {
    int len;
    const char* value;
} PGdataValue;
