// A ping starts an ordinary connection and reads the outcome: any answer of
// the server but "cannot accept connections now" means it is up, even a
// refusal of the credentials, since the server had to be running to refuse.
#include "postgres/libpq/ping.h"

#include <cstring>

#include "postgres/libpq/connect.h"
#include "postgres/libpq/connection_record.h"

namespace {

PGPing pingOutcome(PGconn* conn) {
    if (conn == nullptr)
        return PQPING_NO_ATTEMPT;
    if (!conn->options_valid)
        return PQPING_NO_ATTEMPT;
    if (conn->status != CONNECTION_BAD)
        (void)pqConnectDBComplete(conn);
    if (conn->status == CONNECTION_OK)
        return PQPING_OK;
    // An authentication request proves a server that accepts connections.
    if (conn->auth_req_received)
        return PQPING_OK;
    // No SQLSTATE: no server error arrived, so no server answered.
    if (strlen(conn->last_sqlstate) != 5)
        return PQPING_NO_RESPONSE;
    if (strcmp(conn->last_sqlstate, "57P03") == 0)
        return PQPING_REJECT;
    return PQPING_OK;
}

PGPing pingAndFinish(PGconn* conn) {
    PGPing outcome = pingOutcome(conn);
    PQfinish(conn);
    return outcome;
}

}  // namespace

PGPing PQpingParams(const char* const* keywords, const char* const* values, int expand_dbname) {
    return pingAndFinish(PQconnectStartParams(keywords, values, expand_dbname));
}

PGPing PQping(const char* conninfo) { return pingAndFinish(PQconnectStart(conninfo)); }
