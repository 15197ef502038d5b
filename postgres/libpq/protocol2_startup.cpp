// Protocol 2.0 start-up packet and settings exchange.
#include "postgres/libpq/protocol2_startup.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "postgres/libpq/parameter_status.h"
#include "postgres/libpq/query_execution.h"
#include "postgres/libpq/result_record.h"
#include "postgres/libpq/scoped_result.h"
#include "postgres/libpq/socket_io.h"
#include "postgres/port/portability.h"

namespace {

constexpr size_t kDatabaseWidth = 64;
constexpr size_t kUserWidth = 32;
constexpr size_t kOptionsWidth = 64;
constexpr size_t kUnusedWidth = 64;
constexpr size_t kTtyWidth = 64;
constexpr size_t kPacketSize = 4 + kDatabaseWidth + kUserWidth + kOptionsWidth + kUnusedWidth + kTtyWidth;

// Copies value into a field of `width` bytes, NUL-padded and cut to the
// width (a value that fills the field has no NUL, as the layout allows).
void putField(char* field, size_t width, const char* value) {
    if (value == nullptr)
        return;
    const size_t len = strnlen(value, width);
    memcpy(field, value, len);
}

}  // namespace

const PQEnvironmentOption pqEnvironmentOptions[] = {
    {"PGDATESTYLE", "datestyle"},
    {"PGTZ", "timezone"},
    {"PGGEQO", "geqo"},
    {nullptr, nullptr},
};

char* pqBuildStartupPacket2(PGconn* conn, int* packetlen, const char* optionsText) {
    char* packet = static_cast<char*>(calloc(1, kPacketSize));
    if (packet == nullptr)
        return nullptr;
    *packetlen = static_cast<int>(kPacketSize);
    const uint32_t version = htonl(static_cast<uint32_t>(PG_PROTOCOL(2, 0)));
    memcpy(packet, &version, 4);
    char* field = packet + 4;
    putField(field, kDatabaseWidth, conn->dbName);
    field += kDatabaseWidth;
    putField(field, kUserWidth, conn->pguser);
    field += kUserWidth;
    putField(field, kOptionsWidth, optionsText);
    field += kOptionsWidth + kUnusedWidth;
    putField(field, kTtyWidth, conn->pgtty);
    return packet;
}

void pqSetenvStart(PGconn* conn) {
    conn->setenv_state = SETENV_STATE_CLIENT_ENCODING_SEND;
    conn->next_eo = pqEnvironmentOptions;
}

namespace {

// A settings state returns nothing to have pqSetenvPoll run the state the
// exchange is in now, or what pqSetenvPoll answers.
using SetenvStep = std::optional<PostgresPollingStatusType>;

SetenvStep FailSetenv(PGconn* conn) {
    conn->setenv_state = SETENV_STATE_IDLE;
    return PGRES_POLLING_FAILED;
}

SetenvStep ReportBadState(PGconn* conn) {
    printfPQExpBuffer(&conn->errorMessage, "invalid setenv state %c, probably indicative of memory corruption\n",
                      static_cast<char>(conn->setenv_state));
    return FailSetenv(conn);
}

SetenvStep SendQuery(PGconn* conn, const char* query, PGSetenvStatusType waitState) {
    if (!PQsendQuery(conn, query))
        return FailSetenv(conn);
    conn->setenv_state = waitState;
    return PGRES_POLLING_READING;
}

// Sends "SET name = 'value'" (or DEFAULT), the value cut to 60 bytes.
SetenvStep SendSet(PGconn* conn, const char* name, const char* value, PGSetenvStatusType waitState) {
    char setQuery[128];
    if (pg_strcasecmp(value, "default") == 0) {
        snprintf(setQuery, sizeof(setQuery), "SET %s = DEFAULT", name);
    } else {
        snprintf(setQuery, sizeof(setQuery), "SET %s = '%.60s'", name, value);
    }
    return SendQuery(conn, setQuery, waitState);
}

SetenvStep SendClientEncoding(PGconn* conn) {
    const char* env = conn->client_encoding_initial;
    if (env == nullptr || env[0] == '\0') {
        conn->setenv_state = SETENV_STATE_OPTION_SEND;
        return std::nullopt;
    }
    return SendSet(conn, "client_encoding", env, SETENV_STATE_CLIENT_ENCODING_WAIT);
}

SetenvStep SendOption(PGconn* conn) {
    if (conn->next_eo == nullptr || conn->next_eo->envName == nullptr) {
        conn->setenv_state = SETENV_STATE_QUERY1_SEND;
        return std::nullopt;
    }
    const char* val = getenv(conn->next_eo->envName);
    if (val == nullptr) {
        conn->next_eo++;
        return std::nullopt;
    }
    return SendSet(conn, conn->next_eo->pgName, val, SETENV_STATE_OPTION_WAIT);
}

// The result of one SET; when the statement ends, the next option is sent.
SetenvStep AwaitSet(PGconn* conn) {
    if (PQisBusy(conn))
        return PGRES_POLLING_READING;
    if (const ScopedPGresult res{PQgetResult(conn)})
        return PQresultStatus(res.get()) == PGRES_COMMAND_OK ? std::nullopt : FailSetenv(conn);
    if (conn->setenv_state == SETENV_STATE_OPTION_WAIT)
        conn->next_eo++;
    conn->setenv_state = SETENV_STATE_OPTION_SEND;
    return std::nullopt;
}

// The results of a query in flight: onRows sees each but those of begin and
// end; after the last the exchange goes on in state `after`.
template <typename OnRows>
SetenvStep AwaitQuery(PGconn* conn, PGSetenvStatusType after, OnRows onRows) {
    if (PQisBusy(conn))
        return PGRES_POLLING_READING;
    const ScopedPGresult res(PQgetResult(conn));
    if (!res) {
        conn->setenv_state = after;
        return after == SETENV_STATE_IDLE ? SetenvStep(PGRES_POLLING_OK) : std::nullopt;
    }
    if (PQresultStatus(res.get()) == PGRES_COMMAND_OK)
        return std::nullopt;
    return onRows(res.get());
}

// "PostgreSQL 7.4.30 on x86_64-..." gives "7.4.30".
void SaveServerVersion(PGconn* conn, const char* banner) {
    if (banner == nullptr || strncmp(banner, "PostgreSQL ", 11) != 0)
        return;
    banner += 11;
    char* version = strndup(banner, strcspn(banner, " "));
    if (version != nullptr) {
        pqSaveParameterStatus(conn, "server_version", version);
        free(version);
    }
}

SetenvStep AwaitVersion(PGconn* conn) {
    return AwaitQuery(conn, SETENV_STATE_QUERY2_SEND, [conn](const PGresult* res) -> SetenvStep {
        if (PQresultStatus(res) != PGRES_TUPLES_OK || PQntuples(res) != 1)
            return FailSetenv(conn);
        SaveServerVersion(conn, PQgetvalue(res, 0, 0));
        return std::nullopt;
    });
}

// pg_client_encoding may be missing on old servers, so no transaction block
// unless a 7.3 server needs one.
const char* EncodingQuery(const PGconn* conn) {
    return conn->sversion >= 70300 && conn->sversion < 70400 ? "begin; select pg_catalog.pg_client_encoding(); end"
                                                             : "select pg_client_encoding()";
}

SetenvStep AwaitEncoding(PGconn* conn) {
    return AwaitQuery(conn, SETENV_STATE_IDLE, [conn](const PGresult* res) -> SetenvStep {
        if (PQresultStatus(res) == PGRES_TUPLES_OK && PQntuples(res) == 1) {
            const char* val = PQgetvalue(res, 0, 0);
            if (val != nullptr && *val != '\0')
                pqSaveParameterStatus(conn, "client_encoding", val);
        } else {
            // Presumably no such function: fall back.
            const char* val = getenv("PGCLIENTENCODING");
            pqSaveParameterStatus(conn, "client_encoding", val != nullptr && *val != '\0' ? val : "SQL_ASCII");
        }
        return std::nullopt;
    });
}

// On entry a waiting state first reads what has arrived.
SetenvStep EnterSetenv(PGconn* conn) {
    switch (conn->setenv_state) {
        case SETENV_STATE_CLIENT_ENCODING_WAIT:
        case SETENV_STATE_OPTION_WAIT:
        case SETENV_STATE_QUERY1_WAIT:
        case SETENV_STATE_QUERY2_WAIT: {
            const int n = pqReadData(conn);
            if (n < 0)
                return FailSetenv(conn);
            return n == 0 && PQisBusy(conn) ? SetenvStep(PGRES_POLLING_READING) : std::nullopt;
        }
        case SETENV_STATE_CLIENT_ENCODING_SEND:
        case SETENV_STATE_OPTION_SEND:
        case SETENV_STATE_QUERY1_SEND:
        case SETENV_STATE_QUERY2_SEND:
            return std::nullopt;
        case SETENV_STATE_IDLE:
            return PGRES_POLLING_OK;
        default:
            return ReportBadState(conn);
    }
}

SetenvStep RunSetenvState(PGconn* conn) {
    switch (conn->setenv_state) {
        case SETENV_STATE_CLIENT_ENCODING_SEND:
            return SendClientEncoding(conn);
        case SETENV_STATE_CLIENT_ENCODING_WAIT:
        case SETENV_STATE_OPTION_WAIT:
            return AwaitSet(conn);
        case SETENV_STATE_OPTION_SEND:
            return SendOption(conn);
        case SETENV_STATE_QUERY1_SEND:
            // begin/end in case autocommit is off on a 7.3 server.
            return SendQuery(conn, "begin; select version(); end", SETENV_STATE_QUERY1_WAIT);
        case SETENV_STATE_QUERY1_WAIT:
            return AwaitVersion(conn);
        case SETENV_STATE_QUERY2_SEND:
            return SendQuery(conn, EncodingQuery(conn), SETENV_STATE_QUERY2_WAIT);
        case SETENV_STATE_QUERY2_WAIT:
            return AwaitEncoding(conn);
        default:
            return ReportBadState(conn);
    }
}

}  // namespace

PostgresPollingStatusType pqSetenvPoll(PGconn* conn) {
    if (conn == nullptr || conn->status == CONNECTION_BAD)
        return PGRES_POLLING_FAILED;
    SetenvStep step = EnterSetenv(conn);
    while (!step)
        step = RunSetenvState(conn);
    return *step;
}
