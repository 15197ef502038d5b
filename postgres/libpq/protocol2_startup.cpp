// Protocol 2.0 start-up packet and settings exchange.
#include "postgres/libpq/protocol2_startup.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "postgres/libpq/parameter_status.h"
#include "postgres/libpq/query_execution.h"
#include "postgres/libpq/result_record.h"
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

PostgresPollingStatusType pqSetenvPoll(PGconn* conn) {
    if (conn == nullptr || conn->status == CONNECTION_BAD)
        return PGRES_POLLING_FAILED;

    switch (conn->setenv_state) {
        case SETENV_STATE_CLIENT_ENCODING_WAIT:
        case SETENV_STATE_OPTION_WAIT:
        case SETENV_STATE_QUERY1_WAIT:
        case SETENV_STATE_QUERY2_WAIT: {
            const int n = pqReadData(conn);
            if (n < 0)
                goto error_return;
            if (n == 0 && PQisBusy(conn))
                return PGRES_POLLING_READING;
            break;
        }
        case SETENV_STATE_CLIENT_ENCODING_SEND:
        case SETENV_STATE_OPTION_SEND:
        case SETENV_STATE_QUERY1_SEND:
        case SETENV_STATE_QUERY2_SEND:
            break;
        case SETENV_STATE_IDLE:
            return PGRES_POLLING_OK;
        default:
            printfPQExpBuffer(&conn->errorMessage,
                              "invalid setenv state %c, probably indicative of memory corruption\n",
                              static_cast<char>(conn->setenv_state));
            goto error_return;
    }

    for (;;) {
        switch (conn->setenv_state) {
            case SETENV_STATE_CLIENT_ENCODING_SEND: {
                const char* env = conn->client_encoding_initial;
                if (env == nullptr || env[0] == '\0') {
                    conn->setenv_state = SETENV_STATE_OPTION_SEND;
                    break;
                }
                char setQuery[100];
                if (pg_strcasecmp(env, "default") == 0)
                    snprintf(setQuery, sizeof(setQuery), "SET client_encoding = DEFAULT");
                else
                    snprintf(setQuery, sizeof(setQuery), "SET client_encoding = '%.60s'", env);
                if (!PQsendQuery(conn, setQuery))
                    goto error_return;
                conn->setenv_state = SETENV_STATE_CLIENT_ENCODING_WAIT;
                return PGRES_POLLING_READING;
            }
            case SETENV_STATE_OPTION_SEND: {
                if (conn->next_eo == nullptr || conn->next_eo->envName == nullptr) {
                    conn->setenv_state = SETENV_STATE_QUERY1_SEND;
                    break;
                }
                const char* val = getenv(conn->next_eo->envName);
                if (val == nullptr) {
                    conn->next_eo++;
                    break;
                }
                char setQuery[128];
                if (pg_strcasecmp(val, "default") == 0)
                    snprintf(setQuery, sizeof(setQuery), "SET %s = DEFAULT", conn->next_eo->pgName);
                else
                    snprintf(setQuery, sizeof(setQuery), "SET %s = '%.60s'", conn->next_eo->pgName, val);
                if (!PQsendQuery(conn, setQuery))
                    goto error_return;
                conn->setenv_state = SETENV_STATE_OPTION_WAIT;
                return PGRES_POLLING_READING;
            }
            case SETENV_STATE_CLIENT_ENCODING_WAIT:
            case SETENV_STATE_OPTION_WAIT: {
                if (PQisBusy(conn))
                    return PGRES_POLLING_READING;
                PGresult* res = PQgetResult(conn);
                if (res != nullptr) {
                    const bool ok = PQresultStatus(res) == PGRES_COMMAND_OK;
                    PQclear(res);
                    if (!ok)
                        goto error_return;
                    break;  // read on until the statement ends
                }
                if (conn->setenv_state == SETENV_STATE_OPTION_WAIT)
                    conn->next_eo++;
                conn->setenv_state = SETENV_STATE_OPTION_SEND;
                break;
            }
            case SETENV_STATE_QUERY1_SEND:
                // begin/end in case autocommit is off on a 7.3 server.
                if (!PQsendQuery(conn, "begin; select version(); end"))
                    goto error_return;
                conn->setenv_state = SETENV_STATE_QUERY1_WAIT;
                return PGRES_POLLING_READING;
            case SETENV_STATE_QUERY1_WAIT: {
                if (PQisBusy(conn))
                    return PGRES_POLLING_READING;
                PGresult* res = PQgetResult(conn);
                if (res == nullptr) {
                    conn->setenv_state = SETENV_STATE_QUERY2_SEND;
                    break;
                }
                if (PQresultStatus(res) == PGRES_COMMAND_OK) {  // begin and end
                    PQclear(res);
                    break;
                }
                if (PQresultStatus(res) != PGRES_TUPLES_OK || PQntuples(res) != 1) {
                    PQclear(res);
                    goto error_return;
                }
                // "PostgreSQL 7.4.30 on x86_64-..." gives "7.4.30".
                const char* val = PQgetvalue(res, 0, 0);
                if (val != nullptr && strncmp(val, "PostgreSQL ", 11) == 0) {
                    val += 11;
                    const size_t len = strcspn(val, " ");
                    char* version = strndup(val, len);
                    if (version != nullptr) {
                        pqSaveParameterStatus(conn, "server_version", version);
                        free(version);
                    }
                }
                PQclear(res);
                break;
            }
            case SETENV_STATE_QUERY2_SEND: {
                // pg_client_encoding may be missing on old servers, so no
                // transaction block unless a 7.3 server needs one.
                const char* query = conn->sversion >= 70300 && conn->sversion < 70400
                                        ? "begin; select pg_catalog.pg_client_encoding(); end"
                                        : "select pg_client_encoding()";
                if (!PQsendQuery(conn, query))
                    goto error_return;
                conn->setenv_state = SETENV_STATE_QUERY2_WAIT;
                return PGRES_POLLING_READING;
            }
            case SETENV_STATE_QUERY2_WAIT: {
                if (PQisBusy(conn))
                    return PGRES_POLLING_READING;
                PGresult* res = PQgetResult(conn);
                if (res == nullptr) {
                    conn->setenv_state = SETENV_STATE_IDLE;
                    return PGRES_POLLING_OK;
                }
                if (PQresultStatus(res) == PGRES_COMMAND_OK) {
                    PQclear(res);
                    break;
                }
                if (PQresultStatus(res) == PGRES_TUPLES_OK && PQntuples(res) == 1) {
                    const char* val = PQgetvalue(res, 0, 0);
                    if (val != nullptr && *val != '\0')
                        pqSaveParameterStatus(conn, "client_encoding", val);
                } else {
                    // Presumably no such function: fall back.
                    const char* val = getenv("PGCLIENTENCODING");
                    pqSaveParameterStatus(conn, "client_encoding", val != nullptr && *val != '\0' ? val : "SQL_ASCII");
                }
                PQclear(res);
                break;
            }
            default:
                printfPQExpBuffer(&conn->errorMessage,
                                  "invalid setenv state %c, probably indicative of memory corruption\n",
                                  static_cast<char>(conn->setenv_state));
                goto error_return;
        }
    }

error_return:
    conn->setenv_state = SETENV_STATE_IDLE;
    return PGRES_POLLING_FAILED;
}
