// The session's shared state: reading and sending on the client's socket, the
// bound on pending input, cancel and stop requests, and the names a rewrite resolves.
#include "kelvod/protocol/session_context.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

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
    if (connection)
        duckdb_interrupt(connection);
}

void SessionContext::Stop() {
    m_stopping = true;
    // Reading ends at once; writing stays open for the client to learn why (57P01).
    ::shutdown(fd, SHUT_RD);
    std::lock_guard<std::mutex> lock(m_interruptMutex);
    if (m_running && connection)
        duckdb_interrupt(connection);
}

void SessionContext::Flush() {
    OutputBuffer& out = writer.Buffer();
    size_t sent = 0;
    while (sent < out.size()) {
        ssize_t n = ::send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
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

void SessionContext::ChargePendingInput(uint64_t pending) {
    // Bytes that wait for the rest of their message count against the bound for all
    // sessions, so that many clients sending large messages slowly cannot exhaust memory.
    if (!server.ChangePendingInput(m_pendingInput, pending))
        throw ProtocolError("53200", "out of memory: the server holds too much partly received input");
    m_pendingInput = pending;
}

void SessionContext::ReleasePendingInput() {
    server.ChangePendingInput(m_pendingInput, 0);
    m_pendingInput = 0;
}

bool SessionContext::ReadMore(std::chrono::steady_clock::time_point deadline) {
    char buf[65536];
    for (;;) {
        if (m_stopping || std::chrono::steady_clock::now() > deadline)
            return false;
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, kPollMilliseconds);
        if (r < 0 && errno != EINTR)
            return false;
        if (r <= 0)
            continue;
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        ChargePendingInput(reader.Buffered() + static_cast<uint64_t>(n));
        reader.Append(buf, static_cast<size_t>(n));
        return true;
    }
}

bool SessionContext::ReadBulk() {
    for (;;) {
        if (m_stopping)
            return false;
        char* space = reader.Space(kBulkReceiveBytes);
        ssize_t n = ::recv(fd, space, kBulkReceiveBytes, MSG_DONTWAIT);
        reader.Received(n > 0 ? static_cast<size_t>(n) : 0);
        if (n > 0) {
            ChargePendingInput(reader.Buffered());
            return true;
        }
        if (n == 0)
            return false;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, kPollMilliseconds);
        if (r < 0 && errno != EINTR)
            return false;
        if (r == 0)
            return true;  // nothing yet: the caller looks for a cancel request before it waits again
    }
}

bool SessionContext::ClientGone() const {
    pollfd p{fd, POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

void SessionContext::Notice(const std::string& sqlstate, const std::string& message) {
    ErrorFields f;
    f.severity = "NOTICE";
    f.sqlstate = sqlstate;
    f.message = message;
    writer.Notice(f);
}

SessionNames SessionContext::Names() const {
    SessionNames names;
    names.databases = databases;
    names.tempTables = &tempTables;
    names.isOtherSessionsAlias = [this](const std::string& alias) {
        for (const auto& d : databases)
            if (EqualsFolded(d, alias))
                return false;
        // The engine's shared "memory" database and the server's own databases
        // (other sessions' private ones, those being created) are no session's.
        if (EqualsFolded(alias, "memory"))
            return true;
        if (alias.size() > 7 && EqualsFolded(alias.substr(0, 7), "kelvod_"))
            return !EqualsFolded(alias, PrivateDatabase());
        return server.Attachments().IsAlias(alias);
    };
    names.streams = [this](const std::string& database) { return server.Streams().NamesIn(database); };
    auto it = settings.find("search_path");
    if (it != settings.end()) {
        names.searchPath.clear();
        auto statements = SplitStatements("SELECT " + it->second);
        for (const Token* t : statements.front().Significant())
            if (t->kind == Token::Kind::Identifier || (t->kind == Token::Kind::Word && t->value != "select"))
                names.searchPath.push_back(t->value);
    }
    return names;
}

int SessionContext::ExtraFloatDigits() const {
    auto it = settings.find("extra_float_digits");
    if (it == settings.end())
        return 1;
    try {
        return std::stoi(it->second);
    } catch (const std::exception&) {
        return 1;
    }
}

}  // namespace kelvod
