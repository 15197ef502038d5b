// The connection record (struct pg_conn) that every piece of the wire-protocol
// client reads and writes, with the small types that only it holds, and the
// functions that make, drop and free it.
//
// The record is owned by its creator and freed only through freePGconn (which
// PQfinish calls). Texts are NUL-terminated and owned by the record; the
// host-list texts are owned by their entries.
#pragma once

#include <netdb.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>

#include "postgres/libpq/libpq_types.h"
#include "postgres/libpq/pq_exp_buffer.h"

class ReadAhead;

// Protocol versions: major in the high 16 bits.
typedef uint32_t ProtocolVersion;
#define PG_PROTOCOL(m, n) (((m) << 16) | (n))
#define PG_PROTOCOL_MAJOR(v) ((v) >> 16)
#define PG_PROTOCOL_MINOR(v) ((v)&0x0000ffff)

// Query state of a connection.
typedef enum {
    PGASYNC_IDLE = 0,
    PGASYNC_BUSY = 1,
    PGASYNC_READY = 2,
    PGASYNC_COPY_IN = 3,
    PGASYNC_COPY_OUT = 4,
    PGASYNC_COPY_BOTH = 5
} PGAsyncStatusType;

// Kind of the last query sent.
typedef enum { PGQUERY_SIMPLE = 0, PGQUERY_EXTENDED = 1, PGQUERY_PREPARE = 2, PGQUERY_DESCRIBE = 3 } PGQueryClass;

// Settings exchange after a protocol 2.0 start-up.
typedef enum {
    SETENV_STATE_CLIENT_ENCODING_SEND,
    SETENV_STATE_CLIENT_ENCODING_WAIT,
    SETENV_STATE_OPTION_SEND,
    SETENV_STATE_OPTION_WAIT,
    SETENV_STATE_QUERY1_SEND,
    SETENV_STATE_QUERY1_WAIT,
    SETENV_STATE_QUERY2_SEND,
    SETENV_STATE_QUERY2_WAIT,
    SETENV_STATE_IDLE
} PGSetenvStatusType;

// An environment variable whose value a protocol 2.0 connection sends as a
// SET after start-up.
typedef struct PQEnvironmentOption {
    const char* envName;
    const char* pgName;
} PQEnvironmentOption;

// One ParameterStatus pair; name and value live in the same heap block.
typedef struct pgParameterStatus {
    struct pgParameterStatus* next;
    char* name;
    char* value;
} pgParameterStatus;

typedef struct SockAddr {
    struct sockaddr_storage addr;
    socklen_t salen;
} SockAddr;

typedef enum pg_conn_host_type { CHT_HOST_NAME = 0, CHT_HOST_ADDRESS = 1, CHT_UNIX_SOCKET = 2 } pg_conn_host_type;

// One entry of the host list.
typedef struct pg_conn_host {
    pg_conn_host_type type;
    char* host;
    char* hostaddr;
    char* port;
    char* password;
    struct addrinfo* was_addrlist;
} pg_conn_host;

struct pgLobjfuncs;

struct pg_conn {
    // Connection options as given by the caller; comma-separated
    // lists for host, hostaddr and port.
    char* pghost;
    char* pghostaddr;
    char* pgport;
    char* pgtty;
    char* connect_timeout;
    char* client_encoding_initial;
    char* pgoptions;
    char* appname;
    char* fbappname;
    char* dbName;
    char* replication;
    char* pguser;
    char* pgpass;
    char* pgpassfile;
    char* keepalives;
    char* keepalives_idle;
    char* keepalives_interval;
    char* keepalives_count;
    char* sslmode;
    char* sslcompression;
    char* sslkey;
    char* sslcert;
    char* sslrootcert;
    char* sslcrl;
    char* requirepeer;
    char* target_session_attrs;

    FILE* Pfdebug;  // never set in this system

    PGNoticeHooks noticeHooks;

    PGEvent* events;
    int nEvents;
    int eventArraySize;

    ConnStatusType status;
    PGAsyncStatusType asyncStatus;
    PGTransactionStatusType xactStatus;
    PGQueryClass queryclass;
    char* last_query;  // for the error-position display
    char last_sqlstate[6];
    bool options_valid;
    bool nonblocking;            // API flag; the socket itself is always non-blocking
    uint32_t result_chunk_size;  // rows per chunk; 0 = whole results
    char copy_is_binary;
    int copy_already_done;
    PGnotify* notifyHead;
    PGnotify* notifyTail;

    int nconnhost;
    int whichhost;  // -1 before the first host is tried
    pg_conn_host* connhost;

    int sock;  // -1 when closed
    SockAddr laddr;
    SockAddr raddr;
    ProtocolVersion pversion;
    int sversion;
    bool auth_req_received;
    bool password_needed;
    bool sigpipe_so;    // the socket suppresses SIGPIPE itself (never on Linux)
    bool sigpipe_flag;  // send with MSG_NOSIGNAL
    bool try_next_addr;
    bool try_next_host;
    struct addrinfo* addr_cur;
    PGSetenvStatusType setenv_state;
    const PQEnvironmentOption* next_eo;
    bool send_appname;

    int redirect_count;
    char* session_identifier;
    PQExpBufferData failedConnectionAttempts;

    int be_pid;
    int be_key;
    pgParameterStatus* pstatus;
    int client_encoding;
    bool std_strings;
    PGVerbosity verbosity;
    PGContextVisibility show_context;
    struct pgLobjfuncs* lobjfuncs;

    // Input: bytes [inStart, inEnd) are unconsumed; inCursor is the read
    // position of the message being parsed.
    char* inBuffer;
    int inBufSize;
    int inStart;
    int inCursor;
    int inEnd;
    // While set, another thread receives the socket and reads take its
    // bytes (read_ahead.h); it sets and clears this itself.
    ReadAhead* readAhead;
    // The last receive took all the socket held: the next one waits first.
    bool inputDrained;
    // A blocking read gives up when the server sends nothing for this long
    // (-1: it waits without limit), and at once when interruptFd, when
    // there is one, becomes readable: the owner's way to end a wait on a
    // server that no longer answers.
    int idleLimitMs;
    int interruptFd;

    // Output: [0, outCount) is complete and queued; a message being built
    // runs to outMsgEnd, with its length word at outMsgStart (-1 if none).
    char* outBuffer;
    int outBufSize;
    int outCount;
    int outMsgStart;
    int outMsgEnd;

    PGdataValue* rowBuf;
    int rowBufLen;

    PGresult* result;       // being built, or ready to hand out
    PGresult* next_result;  // in chunked mode the template with the column descriptions

    // The SCRAM exchange with the current server. The record owns it; only
    // pqDropConnection frees it, which every new socket, close and
    // freePGconn goes through.
    void* sasl_state;

    bool ssl_in_use;  // always false

    PQExpBufferData errorMessage;
    PQExpBufferData workBuffer;

    struct addrinfo* addrlist;
    int addrlist_family;
};

// A new record with its start values (CONNECTION_BAD, no socket, 16 KiB
// buffers, 32 row-buffer entries, default notice hooks, verbose errors), or
// null when any allocation fails.
PGconn* makeEmptyPGconn();

// Frees the record and everything it owns, closing the socket if it is open.
// Does not send anything.
void freePGconn(PGconn* conn);

// Closes the socket and, when flushInput is set, discards buffered input;
// queued output and the SCRAM exchange state are always discarded.
void pqDropConnection(PGconn* conn, bool flushInput);

// Frees the host list and empties the fields that describe it.
void pqReleaseConnHosts(PGconn* conn);

// Frees the ParameterStatus list and the notification queue.
void pqClearParameterStatus(PGconn* conn);
void pqClearNotifications(PGconn* conn);

// The default notice hooks: the receiver hands the result's error text to the
// processor, which writes it to standard error.
void defaultNoticeReceiver(void* arg, const PGresult* res);
void defaultNoticeProcessor(void* arg, const char* message);
