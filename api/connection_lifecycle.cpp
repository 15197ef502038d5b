// Opening a connection (with the create modes' administrative connection),
// closing it, cloning it for a second stream of work, pinging, and the
// notice hook that hands server notices to the caller's receiver.
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "api/connection.h"
#include "api/database_statements.h"
#include "api/logging.h"
#include "api/quoting.h"
#include "api/result_error.h"
#include "api/statement.h"
#include "error/sqlstate.h"
#include "instance/pq_params.h"
#include "postgres/libpq/cancel.h"
#include "postgres/libpq/connect.h"
#include "postgres/libpq/conninfo.h"
#include "postgres/libpq/ping.h"
#include "postgres/libpq/query_execution.h"

namespace kelvoapi {

const char* const LibraryVersion = KELVO_VERSION_TEXT;

namespace {
constexpr ContextId kCreateMain{0xee4bba0e};
constexpr ContextId kConnectFailed{0xd6232f85};
constexpr ContextId kInvalidCreateMode{0xa813f981};
constexpr ContextId kCreateWithoutPath{0x4e61d0b8};
constexpr ContextId kDetachSkipped{0xc50b814c};
constexpr ContextId kCloneFailed{0x03b09644};
constexpr ContextId kCloneSourceBad{0xaef5ca61};
constexpr ContextId kCloneNoConninfo{0xcd1e6e68};
constexpr ContextId kCloneTargetBad{0x1e753bda};
constexpr ContextId kNotice{0x59972702};

Error CloneError(Error&& cause) {
    Error error(kelvo::make_error_code(kelvo::Sqlstate::SqlclientUnableToEstablishSqlconnection),
                "Cloning the connection failed.", kCloneFailed);
    error.SetCause(std::move(cause));
    return error;
}

struct ConninfoDeleter {
    void operator()(PQconninfoOption* options) const { PQconninfoFree(options); }
};
}  // namespace

void PGconnDeleter::operator()(PGconn* conn) const { PQfinish(conn); }

void PGcancelDeleter::operator()(PGcancel* cancel) const { PQfreeCancel(cancel); }

Connection::Connection(const Parameters& parameters, int mode) {
    if (IsLogLevelEnabled(KELVO_LOG_LEVEL_INFO)) {
        Log(KELVO_LOG_LEVEL_INFO, "connection-parameters", parameters.ToSanitizedJson());
    }
    if (mode != KELVO_DO_NOT_CREATE && parameters.Get("dbname") == ":main") {
        throw Error(kelvo::make_error_code(kelvo::Sqlstate::InsufficientPrivilege),
                    "Creating the ':main' database is not allowed.", kCreateMain);
    }
    const PQParams pqParams = ConvertToPQParams(parameters);
    HandleCreationMode(parameters, mode);
    m_pg_connection.reset(PQconnectdbParams(pqParams.GetKeywords(), pqParams.GetValues(), 0));
    if (!m_pg_connection) {
        throw std::bad_alloc();
    }
    if (PQstatus(m_pg_connection.get()) == CONNECTION_BAD) {
        Error error = MakeErrorFromTaggedString(PQerrorMessage(m_pg_connection.get()), kConnectFailed);
        m_pg_connection.reset();
        throw error;
    }
    m_pg_cancel.reset(PQgetCancel(m_pg_connection.get()));
    PQsetNoticeReceiver(m_pg_connection.get(), &Connection::NoticeReceiver, this);
    // Without it a cancel cannot end a wait on a stalled server, which
    // changes nothing else.
    m_interrupt = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_pg_connection->interruptFd = m_interrupt;
}

Connection::~Connection() {
    Close();
    if (m_interrupt >= 0) {
        close(m_interrupt);
    }
}

void Connection::HandleCreationMode(const Parameters& parameters, int mode) {
    const unsigned value = static_cast<unsigned>(mode);
    if (value == KELVO_DO_NOT_CREATE) {
        return;
    }
    if (value > KELVO_CREATE_AND_REPLACE) {
        throw Error(kelvo::make_error_code(kelvo::Sqlstate::InvalidParameterValue),
                    "Invalid `kelvo_create_mode_t` value", kInvalidCreateMode);
    }
    // Only a database file can be created: an absent or empty name (sent as
    // "[]") or a list of databases would otherwise become a file of that
    // literal name in the server's directory.
    const std::string_view path = parameters.Get("dbname");
    if (path.empty() || path.front() == '[') {
        throw Error(kelvo::make_error_code(kelvo::Sqlstate::InvalidParameterValue),
                    "A create mode needs the path of one database in `dbname`, not \"" + std::string(path) + "\".",
                    kCreateWithoutPath);
    }
    Parameters adminParameters(parameters);
    adminParameters.Set("dbname", "[]");
    Connection admin(adminParameters, KELVO_DO_NOT_CREATE);
    const std::string database = QuoteIdentifier(parameters.Get("dbname"));
    // The administrative connection's destructor detaches and closes it, on
    // success and while an error passes alike.
    switch (value) {
        case KELVO_CREATE:
            ExecuteCommand(admin, "CREATE DATABASE " + database, true);
            break;
        case KELVO_CREATE_IF_NOT_EXISTS:
            ExecuteCommand(admin, "CREATE DATABASE IF NOT EXISTS " + database, true);
            break;
        default:
            ExecuteCommand(admin, "DROP DATABASE IF EXISTS " + database, true);
            ExecuteCommand(admin, "CREATE DATABASE " + database, true);
            break;
    }
    admin.Close();
}

void Connection::Close() {
    m_pg_cancel.reset();
    if (!m_pg_connection) {
        return;
    }
    if (PQconsumeInput(m_pg_connection.get()) != 0) {
        try {
            const StalledServerLimit limit(*this);
            ExecuteCommand(*this, "DETACH DATABASE *", true);
        } catch (const Error& error) {
            Log(KELVO_LOG_LEVEL_ERROR, "connection-close-detach-failed", ToString(error));
        } catch (...) {
            Log(KELVO_LOG_LEVEL_ERROR, "connection-close-detach-failed", "unknown exception");
        }
    } else {
        try {
            Log(KELVO_LOG_LEVEL_WARNING, "connection-close-detach-skipped",
                ToString(MakeErrorFromTaggedString(PQerrorMessage(m_pg_connection.get()), kDetachSkipped)));
        } catch (...) {
            // Closing goes on without its log event.
        }
    }
    m_pg_connection.reset();
}

std::unique_ptr<Connection> Connection::Clone() const {
    PGconn* conn = m_pg_connection.get();
    if (conn == nullptr) {
        return nullptr;
    }
    if (PQstatus(conn) != CONNECTION_OK) {
        throw CloneError(MakeErrorFromTaggedString(PQerrorMessage(conn), kCloneSourceBad));
    }
    std::unique_ptr<PQconninfoOption, ConninfoDeleter> options(PQconninfo(conn));
    if (!options) {
        throw CloneError(MakeErrorFromTaggedString(PQerrorMessage(conn), kCloneNoConninfo));
    }
    std::unique_ptr<Connection> clone;
    try {
        Parameters parameters;
        for (const PQconninfoOption* option = options.get(); option->keyword != nullptr; ++option) {
            parameters.Set(option->keyword, option->val != nullptr ? option->val : "");
        }
        // The clone is the library's own connection, not another API user.
        std::string clonedOptions(parameters.Get("options"));
        const size_t at = clonedOptions.find("dorvane_api=1");
        if (at != std::string::npos) {
            clonedOptions.erase(at, std::strlen("dorvane_api=1"));
        }
        parameters.Set("options", clonedOptions);
        if (m_detachedAll) {
            parameters.Set("dbname", "[]");
        }
        clone = std::make_unique<Connection>(parameters, KELVO_DO_NOT_CREATE);
    } catch (Error& error) {
        throw CloneError(std::move(error));
    }
    if (clone->GetStatus() != KELVO_CONNECTION_OK) {
        throw CloneError(MakeErrorFromTaggedString(PQerrorMessage(clone->GetPGconn()), kCloneTargetBad));
    }
    try {
        for (const Attached& database : m_attached) {
            ExecuteCommand(*clone, AttachDatabaseStatement(database.path, database.alias), true);
            clone->RememberAttached(database.path, database.alias);
        }
    } catch (Error& error) {
        throw CloneError(std::move(error));
    }
    return clone;
}

void Connection::RememberAttached(std::string path, std::string alias) {
    m_attached.push_back(Attached{std::move(path), std::move(alias)});
}

void Connection::ForgetAttached(std::string_view alias) {
    m_attached.erase(std::remove_if(m_attached.begin(), m_attached.end(),
                                    [&](const Attached& database) { return database.alias == alias; }),
                     m_attached.end());
}

void Connection::ForgetAllAttached() {
    m_attached.clear();
    m_detachedAll = true;
}

void Connection::NoticeReceiver(void* connection, const PGresult* notice) {
    auto* self = static_cast<Connection*>(connection);
    kelvo_notice_receiver_t receiver;
    void* context;
    {
        std::lock_guard<std::mutex> lock(self->m_noticeMutex);
        receiver = self->m_noticeReceiver;
        context = self->m_context;
    }
    if (receiver == nullptr) {
        return;
    }
    // The receiver is the caller's C code: nothing may unwind into it or out
    // of the protocol client.
    Error* error;
    try {
        error = NewHeapError(MakeError(notice, kNotice));
    } catch (...) {
        error = CreateOutOfMemoryError();
    }
    // Called without the mutex: the receiver may replace itself.
    receiver(context, error);
}

PGPing Ping(const Parameters& parameters) {
    Parameters copy(parameters);
    copy.SplitEndpointParameter();
    const PQParams pqParams = ConvertToPQParams(copy);
    return PQpingParams(pqParams.GetKeywords(), pqParams.GetValues(), 0);
}

}  // namespace kelvoapi
