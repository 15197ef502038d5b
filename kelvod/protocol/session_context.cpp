// The session's shared state: reading and sending on the client's socket, the
// bound on pending input, cancel and stop requests, and the names a rewrite resolves.
#include "kelvod/protocol/session_context.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "kelvod/sql/statement_tokens.h"
#include "kelvod/values/value_encoding.h"

namespace kelvod {

namespace {

// One bulk receive takes whatever the socket holds, up to this: a little more
// than a socket buffer, since the room is cleared before each receive.
constexpr size_t kBulkReceiveBytes = 256u << 10;
// How long a read waits before it looks again for a stop or a cancel request.
constexpr int kPollMilliseconds = 250;

}  // namespace

int16_t FormatFor(const std::vector<int16_t>& formats, size_t column) {
    if (formats.empty())
        return kTextFormat;
    return formats.size() == 1 ? formats[0] : formats[column < formats.size() ? column : 0];
}

SessionContext::~SessionContext() { ReleasePendingInput(); }

void SessionContext::ThrowIfCancelled() const {
    if (m_cancelRequested)
        throw SqlError("57014", "canceling statement due to user request");
}

void SessionContext::SetRunning(bool running) {
    std::lock_guard<std::mutex> lock(m_interruptMutex);
    // A cancel request belongs to the statement it reached: the next one starts clean.
    m_cancelRequested = false;
    m_running = running;
}

void SessionContext::Cancel() {
    std::lock_guard<std::mutex> lock(m_interruptMutex);
    if (!m_running)
        return;  // a cancel that finds the session idle is dropped
    m_cancelRequested = true;
    if (m_connection)
        duckdb_interrupt(m_connection.Get());
}

void SessionContext::Stop() {
    m_stopping = true;
    // Reading ends at once; writing stays open for the client to learn why (57P01).
    ::shutdown(m_fd, SHUT_RD);
    std::lock_guard<std::mutex> lock(m_interruptMutex);
    if (m_running && m_connection)
        duckdb_interrupt(m_connection.Get());
}

void SessionContext::Flush() {
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
        m_bytesSent.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
    }
    out.clear();
}

void SessionContext::ChargePendingInput(uint64_t pending) {
    // Bytes that wait for the rest of their message count against the bound for all
    // sessions, so that many clients sending large messages slowly cannot exhaust memory.
    if (!m_server.ChangePendingInput(m_pendingInput, pending))
        throw ProtocolError("53200", "out of memory: the server holds too much partly received input");
    m_pendingInput = pending;
}

void SessionContext::ReleasePendingInput() {
    m_server.ChangePendingInput(m_pendingInput, 0);
    m_pendingInput = 0;
}

bool SessionContext::ReadMore(std::chrono::steady_clock::time_point deadline) {
    char buf[65536];
    for (;;) {
        if (m_stopping || std::chrono::steady_clock::now() > deadline)
            return false;
        pollfd p{m_fd, POLLIN, 0};
        int r = ::poll(&p, 1, kPollMilliseconds);
        if (r < 0 && errno != EINTR)
            return false;
        if (r <= 0)
            continue;
        ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        ChargePendingInput(m_reader.Buffered() + static_cast<uint64_t>(n));
        m_reader.Append(buf, static_cast<size_t>(n));
        return true;
    }
}

bool SessionContext::ReadBulk() {
    for (;;) {
        if (m_stopping)
            return false;
        char* space = m_reader.Space(kBulkReceiveBytes);
        ssize_t n = ::recv(m_fd, space, kBulkReceiveBytes, MSG_DONTWAIT);
        m_reader.Received(n > 0 ? static_cast<size_t>(n) : 0);
        if (n > 0) {
            ChargePendingInput(m_reader.Buffered());
            return true;
        }
        if (n == 0)
            return false;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        pollfd p{m_fd, POLLIN, 0};
        int r = ::poll(&p, 1, kPollMilliseconds);
        if (r < 0 && errno != EINTR)
            return false;
        if (r == 0)
            return true;  // nothing yet: the caller looks for a cancel request before it waits again
    }
}

bool SessionContext::ClientGone() const {
    pollfd p{m_fd, POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

void SessionContext::Notice(const std::string& sqlstate, const std::string& message) {
    ErrorFields f;
    f.severity = "NOTICE";
    f.sqlstate = sqlstate;
    f.message = message;
    m_writer.Notice(f);
}

void SessionContext::Connect() {
    if (duckdb_connect(m_server.Engine(), m_connection.Out()) == DuckDBError)
        throw SqlError("53000", "The engine refused a new connection.");
}

void SessionContext::AddDatabase(std::string alias) {
    m_databases.push_back(std::move(alias));
    m_names.reset();
}

void SessionContext::RemoveDatabase(const std::string& alias) {
    auto it = std::find(m_databases.begin(), m_databases.end(), alias);
    if (it != m_databases.end())
        m_databases.erase(it);
    m_names.reset();
}

std::vector<std::string> SessionContext::TakeDatabases() {
    m_names.reset();
    return std::exchange(m_databases, {});
}

void SessionContext::RecordSetting(const std::string& name, std::string value) {
    m_settings[name] = std::move(value);
    m_names.reset();
}

const SessionNames& SessionContext::Names() const {
    if (m_names)
        return *m_names;
    SessionNames names;
    names.databases = m_databases;
    names.tempTables = &m_tempTables;
    names.isOtherSessionsAlias = [this](const std::string& alias) {
        for (const auto& d : m_databases) {
            if (EqualsFolded(d, alias))
                return false;
        }
        // The engine's shared "memory" database and the server's own databases
        // (other sessions' private ones, those being created) are no session's.
        if (EqualsFolded(alias, "memory"))
            return true;
        if (alias.size() > 7 && EqualsFolded(alias.substr(0, 7), "kelvod_"))
            return !EqualsFolded(alias, PrivateDatabase());
        return m_server.Attachments().IsAlias(alias);
    };
    names.streams = [this](const std::string& database) { return m_server.Streams().NamesIn(database); };
    auto it = m_settings.find("search_path");
    if (it != m_settings.end()) {
        names.searchPath.clear();
        auto statements = SplitStatements("SELECT " + it->second);
        for (const Token* t : statements.front().Significant()) {
            if (t->kind == Token::Kind::Identifier || (t->kind == Token::Kind::Word && t->value != "select"))
                names.searchPath.push_back(t->value);
        }
    }
    return m_names.emplace(std::move(names));
}

int SessionContext::ExtraFloatDigits() const {
    auto it = m_settings.find("extra_float_digits");
    if (it == m_settings.end())
        return 1;
    try {
        return std::stoi(it->second);
    } catch (const std::exception&) {
        return 1;
    }
}

}  // namespace kelvod
