// Sending statements and draining their results (see statement.h).
#include "api/statement.h"

#include <cstdlib>
#include <string>
#include <utility>

#include "api/result_error.h"
#include "api/rowset.h"
#include "error/sqlstate.h"
#include "postgres/libpq/connection_record.h"
#include "postgres/libpq/copy_data.h"
#include "postgres/libpq/query_execution.h"
#include "postgres/libpq/result_record.h"
#include "postgres/libpq/scoped_result.h"

namespace kelvoapi {

namespace {

constexpr ContextId kConnectionNotOk{0xea4d190c};
constexpr ContextId kNoResultPending{0xfd1c5d35};
constexpr ContextId kFirstResultFailed{0x5fdfad59};
constexpr ContextId kCopyBoth{0x2b7e61d4};

// Nothing here asks for a copy in both directions, and no call could end
// one: a server that starts one is not speaking to this library. The
// connection is given up, so that no call waits on the copy.
Error GiveUpCopyBoth(PGconn* conn) {
    pqDropConnection(conn, true);
    conn->status = CONNECTION_BAD;
    conn->asyncStatus = PGASYNC_IDLE;
    return Error(kelvo::make_error_code(kelvo::Sqlstate::ProtocolViolation),
                 "The server started a copy in both directions, which no statement here asks for.", kCopyBoth);
}

// Frees results until none is pending. A COPY IN stops the drain: the
// connection stays in it for its caller to feed and end. A COPY OUT has no
// reader left once it is drained, and would hold the connection in the COPY
// for good, so its data is read and dropped and the drain goes on. The first
// error result met is kept in `firstError` when asked for.
void DrainFrom(PGconn* conn, ScopedPGresult result, std::optional<Error>* firstError = nullptr,
               ContextId contextId = ContextId{0}) {
    while (result) {
        const int status = PQresultStatus(result.get());
        if (firstError != nullptr && !*firstError && IsErrorStatus(status)) {
            try {
                firstError->emplace(MakeError(result.get(), contextId));
            } catch (...) {
                // Out of memory for the report: the drain itself must go on.
            }
        }
        result.reset();
        if (status == PGRES_COPY_IN) {
            return;
        }
        if (status == PGRES_COPY_BOTH) {
            Error error = GiveUpCopyBoth(conn);
            if (firstError != nullptr && !*firstError) {
                firstError->emplace(std::move(error));
            }
            return;
        }
        if (status == PGRES_COPY_OUT && !DiscardCopyData(conn)) {
            // The connection failed inside the COPY: the result that says so
            // is the next one.
            if (firstError != nullptr && !*firstError) {
                firstError->emplace(MakeError(conn, contextId));
            }
            return;
        }
        result.reset(PQgetResult(conn));
    }
}

}  // namespace

bool DiscardCopyData(PGconn* conn) {
    char* buffer = nullptr;
    int n;
    while ((n = PQgetCopyData(conn, &buffer, 0)) > 0) {
        PQfreemem(buffer);
        buffer = nullptr;
    }
    return n == -1;
}

ScopedPGresult GetResult(Connection& connection) {
    if (connection.GetStatus() != KELVO_CONNECTION_OK) {
        throw MakeError(connection.GetPGconn(), kConnectionNotOk);
    }
    ScopedPGresult result(PQgetResult(connection.GetPGconn()));
    if (!result) {
        throw MakeError(connection.GetPGconn(), kNoResultPending);
    }
    const int status = PQresultStatus(result.get());
    if (!IsErrorStatus(status)) {
        return result;
    }
    if (status == PGRES_COPY_BOTH) {
        throw GiveUpCopyBoth(connection.GetPGconn());
    }
    Error error = MakeError(result.get(), kFirstResultFailed);
    DrainFrom(connection.GetPGconn(), std::move(result));
    throw error;
}

void CleanupResults(Connection& connection, ScopedPGresult result) {
    DrainFrom(connection.GetPGconn(), std::move(result));
}

void CleanupResultsReportingErrors(Connection& connection, ScopedPGresult result, ContextId contextId) {
    std::optional<Error> firstError;
    DrainFrom(connection.GetPGconn(), std::move(result), &firstError, contextId);
    if (firstError) {
        throw std::move(*firstError);
    }
}

std::optional<size_t> getAffectedRowCount(PGresult* result) {
    const std::string_view status(PQcmdStatus(result));
    if (status.size() >= 6 && status.substr(0, 6) == "SELECT") {
        return std::nullopt;
    }
    const char* tuples = PQcmdTuples(result);
    if (tuples == nullptr || *tuples == '\0') {
        return std::nullopt;
    }
    // Counts above 2^31 stay whole: the count is read as 64 bits.
    return static_cast<size_t>(std::strtoull(tuples, nullptr, 10));
}

static void SendQuery(Connection& connection, std::string_view query, bool throwIfBusy) {
    const std::string text(query);
    SendStatement(connection, throwIfBusy, send_query_failed_context,
                  [&](PGconn* conn) { return PQsendQuery(conn, text.c_str()); });
}

std::unique_ptr<Rowset> ExecuteQuery(Connection& connection, std::string_view query, bool throwIfBusy) {
    // Held until the rowset has taken its lease.
    std::optional<CallClaim> claim;
    if (throwIfBusy) {
        claim.emplace(connection);
    }
    SendQuery(connection, query, throwIfBusy);
    return std::make_unique<Rowset>(connection);
}

std::optional<size_t> ExecuteCommand(Connection& connection, std::string_view command, bool throwIfBusy) {
    std::optional<CallClaim> claim;
    if (throwIfBusy) {
        claim.emplace(connection);
    }
    SendQuery(connection, command, throwIfBusy);
    ScopedPGresult result = GetResult(connection);
    std::optional<size_t> count = getAffectedRowCount(result.get());
    // A later statement of the text that fails makes the whole command fail.
    CleanupResultsReportingErrors(connection, std::move(result), kFirstResultFailed);
    return count;
}

}  // namespace kelvoapi
