// The status, setting and notice-hook accessors of a connection; see
// connect.h. None of them blocks or touches the socket.
#include <cstdio>

#include "postgres/libpq/connect.h"

ConnStatusType PQstatus(const PGconn* conn) { return conn != nullptr ? conn->status : CONNECTION_BAD; }

char* PQerrorMessage(const PGconn* conn) {
    static char null_connection[] = "The given connection pointer is NULL.";
    return conn != nullptr ? conn->errorMessage.data : null_connection;
}

PQnoticeReceiver PQsetNoticeReceiver(PGconn* conn, PQnoticeReceiver proc, void* arg) {
    if (conn == nullptr)
        return nullptr;
    PQnoticeReceiver old = conn->noticeHooks.noticeRec;
    if (proc != nullptr) {
        conn->noticeHooks.noticeRec = proc;
        conn->noticeHooks.noticeRecArg = arg;
    }
    return old;
}

PQnoticeProcessor PQsetNoticeProcessor(PGconn* conn, PQnoticeProcessor proc, void* arg) {
    if (conn == nullptr)
        return nullptr;
    PQnoticeProcessor old = conn->noticeHooks.noticeProc;
    if (proc != nullptr) {
        conn->noticeHooks.noticeProc = proc;
        conn->noticeHooks.noticeProcArg = arg;
    }
    return old;
}

int PQsocket(const PGconn* conn) { return conn != nullptr ? conn->sock : -1; }

int PQbackendPID(const PGconn* conn) { return conn != nullptr && conn->status == CONNECTION_OK ? conn->be_pid : 0; }

PGTransactionStatusType PQtransactionStatus(const PGconn* conn) {
    if (conn == nullptr || conn->status != CONNECTION_OK)
        return PQTRANS_UNKNOWN;
    if (conn->asyncStatus != PGASYNC_IDLE)
        return PQTRANS_ACTIVE;
    return conn->xactStatus;
}

int PQprotocolVersion(const PGconn* conn) {
    if (conn == nullptr || conn->status == CONNECTION_BAD)
        return 0;
    return static_cast<int>(PG_PROTOCOL_MAJOR(conn->pversion));
}

int PQserverVersion(const PGconn* conn) {
    if (conn == nullptr || conn->status == CONNECTION_BAD)
        return 0;
    return conn->sversion;
}

char* PQdb(const PGconn* conn) { return conn != nullptr ? conn->dbName : nullptr; }

char* PQuser(const PGconn* conn) { return conn != nullptr ? conn->pguser : nullptr; }

char* PQpass(const PGconn* conn) {
    if (conn == nullptr)
        return nullptr;
    if (conn->connhost != nullptr && conn->whichhost >= 0 && conn->whichhost < conn->nconnhost &&
        conn->connhost[conn->whichhost].password != nullptr)
        return conn->connhost[conn->whichhost].password;
    return conn->pgpass;
}

char* PQhost(const PGconn* conn) {
    if (conn == nullptr)
        return nullptr;
    if (conn->connhost != nullptr && conn->whichhost >= 0 && conn->whichhost < conn->nconnhost) {
        const pg_conn_host& entry = conn->connhost[conn->whichhost];
        if (entry.host != nullptr && entry.host[0] != '\0')
            return entry.host;
        if (entry.hostaddr != nullptr && entry.hostaddr[0] != '\0')
            return entry.hostaddr;
    }
    return conn->pghost;
}

char* PQport(const PGconn* conn) {
    if (conn == nullptr)
        return nullptr;
    if (conn->connhost != nullptr && conn->whichhost >= 0 && conn->whichhost < conn->nconnhost)
        return conn->connhost[conn->whichhost].port;
    return conn->pgport;
}

char* PQoptions(const PGconn* conn) { return conn != nullptr ? conn->pgoptions : nullptr; }

int PQconnectionNeedsPassword(const PGconn* conn) {
    if (conn == nullptr)
        return 0;
    const char* password = PQpass(conn);
    return conn->password_needed && (password == nullptr || password[0] == '\0') ? 1 : 0;
}

int PQconnectionUsedPassword(const PGconn* conn) { return conn != nullptr && conn->password_needed ? 1 : 0; }

PGVerbosity PQsetErrorVerbosity(PGconn* conn, PGVerbosity verbosity) {
    if (conn == nullptr)
        return PQERRORS_DEFAULT;
    PGVerbosity old = conn->verbosity;
    conn->verbosity = verbosity;
    return old;
}

PGContextVisibility PQsetErrorContextVisibility(PGconn* conn, PGContextVisibility show_context) {
    if (conn == nullptr)
        return PQSHOW_CONTEXT_ERRORS;
    PGContextVisibility old = conn->show_context;
    conn->show_context = show_context;
    return old;
}

void PQtrace(PGconn* conn, FILE* debug_port) {
    if (conn == nullptr)
        return;
    PQuntrace(conn);
    conn->Pfdebug = debug_port;
}

void PQuntrace(PGconn* conn) {
    if (conn == nullptr)
        return;
    if (conn->Pfdebug != nullptr)
        fflush(conn->Pfdebug);
    conn->Pfdebug = nullptr;
}
