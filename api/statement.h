// The statement routines that every part of the library sends SQL through:
// sending under the busy rule, taking a statement's first result, and
// draining the results after it. Used by the rowset, the catalog questions,
// the connection's own statements and the insertion.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>

#include "api/connection.h"
#include "error/context_id.h"
#include "error/context_ids.h"
#include "postgres/libpq/libpq_types.h"
#include "postgres/libpq/scoped_result.h"

namespace kelvoapi {

class Rowset;

// Checks the busy rule when asked, then sends with `send(PGconn*)`, a
// protocol client send call; its refusal throws the connection's error text
// under `sendFailed`.
template <typename Send>
void SendStatement(Connection& connection, bool throwIfBusy, ContextId sendFailed, Send&& send) {
    if (throwIfBusy) {
        connection.ThrowIfBusy();
    }
    if (send(connection.GetPGconn()) == 0) {
        throw MakeError(connection.GetPGconn(), sendFailed);
    }
}

// Sends `query` and returns its rowset (the connection is then busy).
std::unique_ptr<Rowset> ExecuteQuery(Connection& connection, std::string_view query, bool throwIfBusy);
// Sends `command`, waits for its result and drains the rest; the affected row
// count when the command reports one.
std::optional<size_t> ExecuteCommand(Connection& connection, std::string_view command, bool throwIfBusy);
// The next result; an error status throws the server's error after draining.
ScopedPGresult GetResult(Connection& connection);
// Frees `result` and drains the results after it; stops at a COPY IN, and
// reads and drops the data of a COPY OUT.
void CleanupResults(Connection& connection, ScopedPGresult result);
// As CleanupResults, then throws the first error result met on the way:
// a later statement of a multi-statement text that failed, or a connection
// lost meanwhile.
void CleanupResultsReportingErrors(Connection& connection, ScopedPGresult result, ContextId contextId);
// The row count of the command tag; none for a SELECT or a tag without one.
std::optional<size_t> getAffectedRowCount(PGresult* result);
// Reads and drops the rest of a COPY OUT; false when the connection failed.
bool DiscardCopyData(PGconn* conn);

}  // namespace kelvoapi
