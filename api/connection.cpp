// The connection object's busy rule and leases, cancel, status and settings, and errors
// from a protocol connection's error text.
#include "api/connection.h"

#include <unistd.h>

#include <cstdint>
#include <string>

#include "error/sqlstate.h"
#include "postgres/libpq/cancel.h"
#include "postgres/libpq/connect.h"

namespace kelvoapi {

namespace {
constexpr ContextId kCancelFailed{0xf67825b2};
constexpr ContextId kBusy{0xe9bec0b1};
constexpr ContextId kCancelUnanswered{0x5c0d7a31};

[[noreturn]] void ThrowBusy() {
    Error error(kelvo::make_error_code(kelvo::Sqlstate::ObjectInUse), "The connection is not ready.", kBusy);
    error.SetHint(
        "Make sure that all inserters and results associated with the connection are closed before attempting a "
        "new operation on it.");
    throw error;
}
}  // namespace

Error MakeError(const PGconn* connection, ContextId contextId) {
    return MakeErrorFromTaggedString(PQerrorMessage(connection), contextId);
}

kelvo_connection_status_t Connection::GetStatus() const {
    return m_pg_connection && PQstatus(m_pg_connection.get()) == CONNECTION_OK ? KELVO_CONNECTION_OK
                                                                               : KELVO_CONNECTION_BAD;
}

void Connection::Cancel() {
    char buffer[256] = {};
    bool unanswered = false;
    if (pqCancelWithin(m_pg_cancel.get(), buffer, sizeof buffer, stalled_server_ms, &unanswered) == 0) {
        throw MakeErrorFromTaggedString(buffer, kCancelFailed);
    }
    if (unanswered) {
        // Nor will it answer the statement: a read waiting for it ends.
        const uint64_t one = 1;
        (void)!write(m_interrupt, &one, sizeof one);
        throw Error(kelvo::make_error_code(kelvo::Sqlstate::ConnectionFailure),
                    "The server did not answer the cancel request within " + std::to_string(stalled_server_ms) +
                        " ms; the connection is given up.",
                    kCancelUnanswered);
    }
}

Connection::StalledServerLimit::StalledServerLimit(Connection& connection) : m_conn(connection.GetPGconn()) {
    if (m_conn != nullptr) {
        m_conn->idleLimitMs = stalled_server_ms;
    }
}

Connection::StalledServerLimit::~StalledServerLimit() {
    if (m_conn != nullptr) {
        m_conn->idleLimitMs = -1;
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

CallClaim::CallClaim(Connection& connection) : m_lock(connection.m_callMutex, std::try_to_lock) {
    if (!m_lock.owns_lock()) {
        ThrowBusy();
    }
    connection.ThrowIfBusy();
}

void Connection::ThrowIfBusy() const {
    if (!IsReady()) {
        ThrowBusy();
    }
}

}  // namespace kelvoapi
