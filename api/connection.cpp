// The connection object's busy rule and leases, cancel, status and settings, and errors
// from a protocol connection's error text.
#include "api/connection.h"

#include "error/context_ids.h"
#include "error/sqlstate.h"
#include "postgres/libpq/cancel.h"
#include "postgres/libpq/connect.h"

namespace kelvoapi {

Error MakeError(const PGconn* connection, ContextId contextId) {
    return MakeErrorFromTaggedString(PQerrorMessage(connection), contextId);
}

kelvo_connection_status_t Connection::GetStatus() const {
    return m_pg_connection && PQstatus(m_pg_connection.get()) == CONNECTION_OK ? KELVO_CONNECTION_OK
                                                                               : KELVO_CONNECTION_BAD;
}

void Connection::Cancel() {
    char buffer[256] = {};
    if (PQcancel(m_pg_cancel.get(), buffer, sizeof buffer) == 0) {
        throw MakeErrorFromTaggedString(buffer, ContextIds::CancelFailed);
    }
}

kelvo_notice_receiver_t Connection::SetNoticeReceiver(kelvo_notice_receiver_t receiver, void* context) {
    std::lock_guard<std::mutex> lock(m_noticeMutex);
    const kelvo_notice_receiver_t previous = m_noticeReceiver;
    if (receiver != nullptr) {
        m_noticeReceiver = receiver;
        m_context = context;
    }
    return previous;
}

BusyLease::BusyLease(Connection& connection) : m_connection(connection) { ++m_connection.m_leases; }

BusyLease::~BusyLease() { --m_connection.m_leases; }

void Connection::ThrowIfBusy() const {
    if (!IsReady()) {
        Error error(kelvo::make_error_code(kelvo::Sqlstate::ObjectInUse), "The connection is not ready.",
                    ContextIds::ConnectionBusy);
        error.SetHint(
            "Make sure that all inserters and results associated with the connection are closed before attempting a "
            "new operation on it.");
        throw error;
    }
}

}  // namespace kelvoapi
