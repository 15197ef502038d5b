// The protocol session: its life (run, cancel, stop), reading and sending, the
// message loop and the simple protocol, and what a failed statement leaves behind.
#include "kelvod/session.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>

#include "kelvod/engine_errors.h"
#include "kelvod/file_access.h"
#include "kelvod/scoped_value.h"
#include "kelvod/statement_tokens.h"
#include "kelvod/value_encoding.h"

namespace kelvod {

namespace {

constexpr size_t kFlushThreshold = 256 * 1024;

// What the client is told when a statement fails.
ErrorFields FieldsOf(const SqlError& e) {
    ErrorFields f;
    f.sqlstate = e.sqlstate;
    f.message = e.what();
    f.hint = e.hint;
    return f;
}

}  // namespace

Session::Session(ServerState& server, int fd, std::chrono::milliseconds startupTimeout)
    : m_server(server), m_fd(fd), m_startupTimeout(startupTimeout) {
    std::random_device rd;
    m_pid = server.NextSessionId();
    m_key = static_cast<int32_t>(rd());
}

Session::~Session() {
    m_server.ChangePendingInput(m_pendingInput, 0);
    m_server.Unregister(m_pid);
    m_server.Streams().RemoveOwnedBy(m_pid);
    if (m_connection) {
        try {
            // An open transaction would keep the files from being detached.
            if (m_transaction != kIdle)
                RunEngine(m_connection, "ROLLBACK");
        } catch (...) {
        }
        try {
            DetachAll();
        } catch (...) {
            // the session ends either way; a failed detach leaves the alias to the engine
        }
        duckdb_disconnect(&m_connection);
    }
    if (m_fd >= 0)
        ::close(m_fd);
}

void Session::Run() {
    RunProtocol();
    m_server.ChangePendingInput(m_pendingInput, 0);
    m_pendingInput = 0;
    // The client learns at once that the session ended; the descriptor itself
    // is closed with the session, after its thread has been joined.
    ::shutdown(m_fd, SHUT_RDWR);
}

void Session::RunProtocol() {
    try {
        if (Startup())
            Serve();
        SayGoodbyeIfStopping();
        Flush();
    } catch (const ConnectionLost&) {
        SayGoodbyeIfStopping();
    } catch (const ProtocolError& e) {
        try {
            ErrorFields f;
            f.severity = "FATAL";
            f.sqlstate = e.sqlstate;
            f.message = e.what();
            SendError(f);
            Flush();
        } catch (...) {
        }
    } catch (const std::exception& e) {
        try {
            ErrorFields f;
            f.severity = "FATAL";
            f.sqlstate = "XX000";
            f.message = e.what();
            SendError(f);
            Flush();
        } catch (...) {
        }
    }
}

void Session::ThrowIfCancelled() const {
    if (m_cancelRequested)
        throw SqlError("57014", "canceling statement due to user request");
}

void Session::SetRunning(bool running) {
    std::lock_guard<std::mutex> lock(m_interruptMutex);
    if (running)
        m_cancelRequested = false;
    m_running = running;
}

void Session::Cancel() {
    std::lock_guard<std::mutex> lock(m_interruptMutex);
    if (!m_running)
        return;  // a cancel that finds the session idle is dropped
    m_cancelRequested = true;
    if (m_connection)
        duckdb_interrupt(m_connection);
}

void Session::Stop() {
    m_stopping = true;
    // Reading ends at once; writing stays open for the client to learn why (57P01).
    ::shutdown(m_fd, SHUT_RD);
    std::lock_guard<std::mutex> lock(m_interruptMutex);
    if (m_running && m_connection)
        duckdb_interrupt(m_connection);
}

void Session::Abort() { ::shutdown(m_fd, SHUT_RDWR); }

void Session::SayGoodbyeIfStopping() {
    if (!m_stopping)
        return;
    try {
        ErrorFields f;
        f.severity = "FATAL";
        f.sqlstate = "57P01";
        f.message = "terminating connection due to administrator command";
        SendError(f);
        Flush();
    } catch (...) {
        // the client is gone already
    }
}

void Session::Flush() {
    OutputBuffer& out = m_writer.Buffer();
    size_t sent = 0;
    while (sent < out.size()) {
        ssize_t n = ::send(m_fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            out.clear();
            throw ConnectionLost("send failed");
        }
        sent += static_cast<size_t>(n);
    }
    out.clear();
}

bool Session::ReadMore(std::chrono::steady_clock::time_point deadline) {
    char buf[65536];
    for (;;) {
        if (m_stopping || std::chrono::steady_clock::now() > deadline)
            return false;
        pollfd p{m_fd, POLLIN, 0};
        int r = ::poll(&p, 1, 250);
        if (r < 0 && errno != EINTR)
            return false;
        if (r <= 0)
            continue;
        ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        // Bytes that wait for the rest of their message count against the bound for all
        // sessions, so that many clients sending large messages slowly cannot exhaust memory.
        uint64_t pending = m_reader.Buffered() + static_cast<uint64_t>(n);
        if (!m_server.ChangePendingInput(m_pendingInput, pending))
            throw ProtocolError("53200", "out of memory: the server holds too much partly received input");
        m_pendingInput = pending;
        m_reader.Append(buf, static_cast<size_t>(n));
        return true;
    }
}

void Session::SendError(const ErrorFields& error) { m_writer.Error(error); }

void Session::Notice(const std::string& sqlstate, const std::string& message) {
    ErrorFields f;
    f.severity = "NOTICE";
    f.sqlstate = sqlstate;
    f.message = message;
    m_writer.Notice(f);
}

SessionNames Session::Names() const {
    SessionNames names;
    names.databases = m_databases;
    names.tempTables = &m_tempTables;
    names.isOtherSessionsAlias = [this](const std::string& alias) {
        for (const auto& d : m_databases)
            if (EqualsFolded(d, alias))
                return false;
        return m_server.Attachments().IsAlias(alias);
    };
    names.streams = [this](const std::string& database) { return m_server.Streams().NamesIn(database); };
    auto it = m_settings.find("search_path");
    if (it != m_settings.end()) {
        names.searchPath.clear();
        auto statements = SplitStatements("SELECT " + it->second);
        for (const Token* t : statements.front().Significant())
            if (t->kind == Token::Kind::Identifier || (t->kind == Token::Kind::Word && t->value != "select"))
                names.searchPath.push_back(t->value);
    }
    return names;
}

void Session::Serve() {
    for (;;) {
        auto request = m_reader.TakeRequest();
        if (!request) {
            Flush();
            if (!ReadMore())
                return;
            continue;
        }
        if (std::holds_alternative<TerminateMessage>(*request))
            return;
        HandleRequest(*request);
        if (m_writer.Buffer().size() > kFlushThreshold)
            Flush();
    }
}

int16_t Session::FormatFor(const std::vector<int16_t>& formats, size_t column) const {
    if (formats.empty())
        return kTextFormat;
    return formats.size() == 1 ? formats[0] : formats[column < formats.size() ? column : 0];
}

void Session::HandleRequest(const Request& request) {
    if (auto* q = std::get_if<QueryMessage>(&request)) {
        m_skipUntilSync = false;
        SimpleQuery(q->sql);
        m_writer.ReadyForQuery(m_transaction);
        Flush();
        return;
    }
    if (std::holds_alternative<SyncMessage>(request))
        return Sync();
    if (std::holds_alternative<FlushMessage>(request))
        return Flush();
    // Left over from a COPY FROM STDIN that failed while the client was still sending.
    if (std::holds_alternative<CopyMessage>(request))
        return;
    if (m_skipUntilSync)
        return;
    try {
        if (auto* p = std::get_if<ParseMessage>(&request))
            Parse(*p);
        else if (auto* b = std::get_if<BindMessage>(&request))
            Bind(*b);
        else if (auto* d = std::get_if<DescribeMessage>(&request))
            Describe(*d);
        else if (auto* e = std::get_if<ExecuteMessage>(&request))
            Execute(*e);
        else if (auto* c = std::get_if<CloseMessage>(&request))
            Close(*c);
    } catch (const SqlError& e) {
        ReportFailure(e);
        m_skipUntilSync = true;
    }
}

void Session::ReportFailure(const SqlError& error) {
    SendError(FieldsOf(error));
    // Any failed statement or message inside a block aborts it.
    if (m_transaction == kInBlock)
        m_transaction = kFailedBlock;
    RecoverInvalidated(error);
}

void Session::SimpleQuery(const std::string& sql) {
    try {
        bool any = false;
        for (const auto& s : SplitStatements(sql)) {
            if (s.IsEmpty())
                continue;
            any = true;
            {
                ScopedValue<bool> simple(m_inSimpleQuery, true);
                RunStatement(s, {DefaultFormat()}, true);
            }
            if (m_writer.Buffer().size() > kFlushThreshold)
                Flush();
        }
        if (!any)
            m_writer.EmptyQueryResponse();
    } catch (const SqlError& e) {
        ReportFailure(e);
    }
}

bool Session::CommittedDespite(const SqlError& error) {
    return std::string_view(error.what()).find("COMMIT succeeded and is durable") != std::string_view::npos;
}

void Session::CommitOwnTransaction() {
    try {
        RunEngine(m_connection, "COMMIT");
    } catch (const SqlError& e) {
        if (!CommittedDespite(e))
            throw;
        ErrorFields f;
        f.severity = "WARNING";
        f.sqlstate = e.sqlstate;
        f.message = e.what();
        m_writer.Notice(f);
        m_transaction = kIdle;
        RecoverInvalidated(e);
    }
}

void Session::RecoverInvalidated(const SqlError& error) {
    std::string alias = InvalidatedDatabase(error.what());
    if (alias.empty() || m_transaction != kIdle)
        return;  // an open block still holds the database
    bool ours = false;
    for (const auto& d : m_databases)
        ours |= EqualsFolded(d, alias);
    if (!ours)
        return;
    try {
        // This connection may not even leave the invalidated database; the registry
        // detaches it through a connection of its own.
        RunEngine(m_connection, "USE memory");
    } catch (const SqlError&) {
    }
    try {
        m_server.Attachments().Reattach(m_connection, alias);
    } catch (const SqlError& e) {
        // Still refused (the disk may still be full): the next statement tries again.
        Notice(e.sqlstate, std::string("The database \"") + alias + "\" could not be attached again: " + e.what());
    }
    try {
        UseFirstDatabase();
    } catch (const SqlError&) {
    }
}

}  // namespace kelvod
