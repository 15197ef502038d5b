// Making, dropping and freeing the connection record.
#include "postgres/libpq/connection_record.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "postgres/libpq/result_record.h"
#include "postgres/libpq/scram_client.h"

namespace {

constexpr int kInitialBufferSize = 16 * 1024;
constexpr int kInitialRowBufferEntries = 32;

void freeAndClear(char*& text) {
    free(text);
    text = nullptr;
}

}  // namespace

void defaultNoticeReceiver(void* /*arg*/, const PGresult* res) {
    if (res->noticeHooks.noticeProc != nullptr)
        res->noticeHooks.noticeProc(res->noticeHooks.noticeProcArg, PQresultErrorMessage(res));
}

void defaultNoticeProcessor(void* /*arg*/, const char* message) { fprintf(stderr, "%s", message); }

PGconn* makeEmptyPGconn() {
    PGconn* conn = static_cast<PGconn*>(calloc(1, sizeof(PGconn)));
    if (conn == nullptr)
        return nullptr;

    conn->noticeHooks.noticeRec = defaultNoticeReceiver;
    conn->noticeHooks.noticeProc = defaultNoticeProcessor;

    conn->status = CONNECTION_BAD;
    conn->asyncStatus = PGASYNC_IDLE;
    conn->xactStatus = PQTRANS_IDLE;
    conn->queryclass = PGQUERY_SIMPLE;
    conn->options_valid = false;
    conn->nonblocking = false;
    conn->result_chunk_size = 0;
    conn->setenv_state = SETENV_STATE_IDLE;
    conn->client_encoding = 0;  // SQL_ASCII
    conn->std_strings = false;
    conn->verbosity = PQERRORS_VERBOSE;
    conn->show_context = PQSHOW_CONTEXT_ERRORS;
    conn->sock = -1;
    conn->idleLimitMs = -1;
    conn->interruptFd = -1;
    conn->whichhost = -1;
    conn->outMsgStart = -1;
    conn->redirect_count = 0;
    conn->session_identifier = nullptr;
    conn->ssl_in_use = false;

    conn->inBufSize = kInitialBufferSize;
    conn->inBuffer = static_cast<char*>(malloc(conn->inBufSize));
    conn->outBufSize = kInitialBufferSize;
    conn->outBuffer = static_cast<char*>(malloc(conn->outBufSize));
    conn->rowBufLen = kInitialRowBufferEntries;
    conn->rowBuf = static_cast<PGdataValue*>(malloc(conn->rowBufLen * sizeof(PGdataValue)));
    initPQExpBuffer(&conn->errorMessage);
    initPQExpBuffer(&conn->workBuffer);
    initPQExpBuffer(&conn->failedConnectionAttempts);

    if (conn->inBuffer == nullptr || conn->outBuffer == nullptr || conn->rowBuf == nullptr ||
        PQExpBufferBroken(&conn->errorMessage) || PQExpBufferBroken(&conn->workBuffer) ||
        PQExpBufferBroken(&conn->failedConnectionAttempts)) {
        freePGconn(conn);
        return nullptr;
    }
    return conn;
}

void pqReleaseConnHosts(PGconn* conn) {
    if (conn->connhost != nullptr) {
        for (int i = 0; i < conn->nconnhost; ++i) {
            pg_conn_host& host = conn->connhost[i];
            free(host.host);
            free(host.hostaddr);
            free(host.port);
            if (host.password != nullptr) {
                // A password does not linger in freed memory.
                memset(host.password, 0, strlen(host.password));
                free(host.password);
            }
        }
        free(conn->connhost);
    }
    conn->connhost = nullptr;
    conn->nconnhost = 0;
    conn->whichhost = -1;
}

void pqClearParameterStatus(PGconn* conn) {
    pgParameterStatus* pstatus = conn->pstatus;
    while (pstatus != nullptr) {
        pgParameterStatus* next = pstatus->next;
        free(pstatus);
        pstatus = next;
    }
    conn->pstatus = nullptr;
}

void pqClearNotifications(PGconn* conn) {
    PGnotify* notify = conn->notifyHead;
    while (notify != nullptr) {
        PGnotify* next = notify->next;
        free(notify);
        notify = next;
    }
    conn->notifyHead = conn->notifyTail = nullptr;
}

void pqDropConnection(PGconn* conn, bool flushInput) {
    if (conn->sock >= 0)
        close(conn->sock);
    conn->sock = -1;
    if (flushInput)
        conn->inStart = conn->inCursor = conn->inEnd = 0;
    conn->outCount = 0;
    conn->outMsgStart = -1;
    conn->outMsgEnd = 0;
    // An exchange belongs to one server: the next one starts afresh.
    pg_fe_scram_free(conn->sasl_state);
    conn->sasl_state = nullptr;
}

void freePGconn(PGconn* conn) {
    if (conn == nullptr)
        return;
    pqDropConnection(conn, true);

    for (int i = 0; i < conn->nEvents; ++i)
        free(conn->events[i].name);
    free(conn->events);

    char** texts[] = {&conn->pghost,
                      &conn->pghostaddr,
                      &conn->pgport,
                      &conn->pgtty,
                      &conn->connect_timeout,
                      &conn->client_encoding_initial,
                      &conn->pgoptions,
                      &conn->appname,
                      &conn->fbappname,
                      &conn->dbName,
                      &conn->replication,
                      &conn->pguser,
                      &conn->pgpassfile,
                      &conn->keepalives,
                      &conn->keepalives_idle,
                      &conn->keepalives_interval,
                      &conn->keepalives_count,
                      &conn->sslmode,
                      &conn->sslcompression,
                      &conn->sslkey,
                      &conn->sslcert,
                      &conn->sslrootcert,
                      &conn->sslcrl,
                      &conn->requirepeer,
                      &conn->target_session_attrs,
                      &conn->last_query,
                      &conn->session_identifier};
    for (char** text : texts)
        freeAndClear(*text);
    if (conn->pgpass != nullptr) {
        memset(conn->pgpass, 0, strlen(conn->pgpass));
        freeAndClear(conn->pgpass);
    }

    pqReleaseConnHosts(conn);
    pqClearParameterStatus(conn);
    pqClearNotifications(conn);
    pqClearAsyncResult(conn);
    if (conn->addrlist != nullptr)
        freeaddrinfo(conn->addrlist);
    conn->addrlist = nullptr;
    conn->addr_cur = nullptr;

    free(conn->inBuffer);
    free(conn->outBuffer);
    free(conn->rowBuf);
    termPQExpBuffer(&conn->errorMessage);
    termPQExpBuffer(&conn->workBuffer);
    termPQExpBuffer(&conn->failedConnectionAttempts);
    free(conn);
}
