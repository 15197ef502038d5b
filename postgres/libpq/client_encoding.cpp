// Changing the client encoding runs one simple query; the server answers the
// new setting with a ParameterStatus message, which is what PQclientEncoding
// then reports.
#include "postgres/libpq/client_encoding.h"

#include <cstdio>
#include <cstring>

#include "postgres/libpq/parameter_status.h"
#include "postgres/libpq/query_execution.h"
#include "postgres/libpq/result_record.h"
#include "postgres/libpq/scoped_result.h"
#include "postgres/mb/encoding.h"
#include "postgres/port/portability.h"

namespace {

// The command is built in a fixed buffer; longer names are refused rather
// than cut.
constexpr size_t kMaxEncodingNameLength = 100;

}  // namespace

int PQsetClientEncoding(PGconn* conn, const char* encoding) {
    if (conn == nullptr || conn->status != CONNECTION_OK || encoding == nullptr)
        return -1;
    if (std::strcmp(encoding, "auto") == 0)
        encoding = pg_encoding_to_char(pg_get_encoding_from_locale(nullptr, true));
    if (std::strlen(encoding) > kMaxEncodingNameLength)
        return -1;

    char query[128];
    std::snprintf(query, sizeof query, "set client_encoding to '%s'", encoding);
    const ScopedPGresult res(PQexec(conn, query));
    if (!res || res->resultStatus != PGRES_COMMAND_OK)
        return -1;
    // A protocol 2.0 server reports no parameter changes.
    if (PG_PROTOCOL_MAJOR(conn->pversion) < 3)
        pqSaveParameterStatus(conn, "client_encoding", encoding);
    return 0;
}

int PQclientEncoding(const PGconn* conn) {
    if (conn == nullptr || conn->status != CONNECTION_OK)
        return -1;
    return conn->client_encoding;
}
