// Running one client's session.
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
#include "kelvod/startup_options.h"
#include "kelvod/statement_tokens.h"
#include "kelvod/value_encoding.h"

namespace kelvod {

namespace {

constexpr size_t kFlushThreshold = 256 * 1024;

// The settings a client may send in `options`; anything else fails the start-up.
const char* const kKnownSettings[] = {
    "result_format_code", "DateStyle", "TimeZone", "IntervalStyle", "TwoDigitYearThreshold", "extra_float_digits",
    "requestedProtocolVersion", "dorvane_api", "allow_redirects", "user_agent", "client_info", "session_identifier",
    "failed_connection_attempts", "encryption_key", "access_mode", "search_path", "external_client_context",
    "application_name"};

SqlError AbortedTransaction() {
    return SqlError("25P02", "current transaction is aborted, commands ignored until end of transaction block");
}

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
            if (m_transaction != 'I') RunEngine(m_connection, "ROLLBACK");
        } catch (...) {
        }
        try {
            DetachAll();
        } catch (...) {
            // the session ends either way; a failed detach leaves the alias to the engine
        }
        duckdb_disconnect(&m_connection);
    }
    if (m_fd >= 0) ::close(m_fd);
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
        if (Startup()) Serve();
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
    if (m_cancelRequested) throw SqlError("57014", "canceling statement due to user request");
}

void Session::SetRunning(bool running) {
    std::lock_guard<std::mutex> lock(m_interruptMutex);
    if (running) m_cancelRequested = false;
    m_running = running;
}

void Session::Cancel() {
    std::lock_guard<std::mutex> lock(m_interruptMutex);
    if (!m_running) return;  // a cancel that finds the session idle is dropped
    m_cancelRequested = true;
    if (m_connection) duckdb_interrupt(m_connection);
}

void Session::Stop() {
    m_stopping = true;
    // Reading ends at once; writing stays open for the client to learn why (57P01).
    ::shutdown(m_fd, SHUT_RD);
    std::lock_guard<std::mutex> lock(m_interruptMutex);
    if (m_running && m_connection) duckdb_interrupt(m_connection);
}

void Session::Abort() { ::shutdown(m_fd, SHUT_RDWR); }

void Session::SayGoodbyeIfStopping() {
    if (!m_stopping) return;
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
    std::string& out = m_writer.Buffer();
    size_t sent = 0;
    while (sent < out.size()) {
        ssize_t n = ::send(m_fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
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
        if (m_stopping || std::chrono::steady_clock::now() > deadline) return false;
        pollfd p{m_fd, POLLIN, 0};
        int r = ::poll(&p, 1, 250);
        if (r < 0 && errno != EINTR) return false;
        if (r <= 0) continue;
        ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
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

bool Session::Startup() {
    // A client that connects and never completes its start-up must not keep a thread forever.
    auto deadline = std::chrono::steady_clock::now() + m_startupTimeout;
    StartupRequest request;
    for (;;) {
        auto packet = m_reader.TakeStartupPacket();
        if (!packet) {
            if (!ReadMore(deadline)) return false;
            continue;
        }
        if (std::holds_alternative<SslRequest>(*packet)) {
            m_writer.SslRefused();
            Flush();
            continue;
        }
        if (auto* c = std::get_if<CancelRequest>(&*packet)) {
            m_server.Cancel(c->pid, c->key);
            return false;
        }
        request = std::get<StartupRequest>(*packet);
        break;
    }
    try {
        if (duckdb_connect(m_server.Engine(), &m_connection) == DuckDBError)
            throw SqlError("53000", "The engine refused a new connection.");
        std::string dbname;
        for (const auto& [name, value] : request.parameters) {
            if (name == "database") dbname = value;
            else if (name == "options") ApplyOptions(value);
            else if (name == "client_encoding") {
                if (!EqualsFolded(value, "UTF8") && !EqualsFolded(value, "UTF-8") && !EqualsFolded(value, "UNICODE"))
                    throw SqlError("22023", "The client encoding \"" + value + "\" is not supported.",
                                   "This server speaks UTF8 only.");
            } else if (name == "replication" && !value.empty() && value != "false" && value != "0") {
                throw SqlError("0A000", "Replication connections are not supported.");
            }
        }
        UseFirstDatabase();
        ApplyDbname(dbname);
    } catch (const SqlError& e) {
        ErrorFields f = FieldsOf(e);
        f.severity = "FATAL";
        SendError(f);
        Flush();
        return false;
    }
    m_server.Register(m_pid, m_key, this);
    m_writer.AuthenticationOk();
    m_writer.ParameterStatus("server_version", "15.0");
    m_writer.ParameterStatus("server_encoding", "UTF8");
    m_writer.ParameterStatus("client_encoding", "UTF8");
    m_writer.ParameterStatus("DateStyle", "ISO, MDY");
    m_writer.ParameterStatus("IntervalStyle", "postgres");
    m_writer.ParameterStatus("TimeZone", "UTC");
    m_writer.ParameterStatus("integer_datetimes", "on");
    m_writer.ParameterStatus("standard_conforming_strings", "on");
    m_writer.BackendKeyData(m_pid, m_key);
    m_writer.ReadyForQuery(m_transaction);
    Flush();
    return true;
}

void Session::ApplyOptions(const std::string& options) {
    for (auto& [name, value] : ParseOptionItems(options)) {
        bool known = false;
        for (const char* k : kKnownSettings) known |= name == k;
        if (!known)
            throw SqlError("42704", "Unknown setting \"" + name + "\" in the options start-up value.");
        if (name == "result_format_code") {
            if (EqualsFolded(value, "KelvoBinary") || EqualsFolded(value, "Binary") || value == "2")
                m_binaryResults = true;
            else if (EqualsFolded(value, "Text") || EqualsFolded(value, "KelvoText") || value == "0")
                m_binaryResults = false;
            else
                throw SqlError("22023", "Invalid value \"" + value + "\" for result_format_code.",
                               "Use KelvoBinary or Text.");
        }
        if (name == "extra_float_digits") {
            char* end = nullptr;
            long digits = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || digits < -15 || digits > 3)
                throw SqlError("22023", "Invalid value \"" + value + "\" for extra_float_digits.",
                               "Use an integer from -15 to 3.");
        }
        m_settings[name] = value;
    }
}

void Session::ApplyDbname(const std::string& dbname) {
    if (dbname.empty() || dbname == "[]") return;
    if (dbname == ":main") {
        if (m_server.MainDatabase().empty())
            throw SqlError("3D000", "This server has no main database.", "Start it with --database.");
        // The main database is known by its file's stem, unless the engine keeps that name.
        std::string alias = PathStem(m_server.MainDatabase());
        if (IsReservedAlias(alias)) alias += "_database";
        Attach(m_server.MainDatabase(), alias);
        return;
    }
    if (dbname.front() == '[') {
        for (const auto& d : ParseDatabaseList(dbname)) Attach(d.path, d.alias);
        return;
    }
    Attach(dbname, PathStem(dbname));
}

SessionNames Session::Names() const {
    SessionNames names;
    names.databases = m_databases;
    names.tempTables = &m_tempTables;
    names.isOtherSessionsAlias = [this](const std::string& alias) {
        for (const auto& d : m_databases)
            if (EqualsFolded(d, alias)) return false;
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
            if (!ReadMore()) return;
            continue;
        }
        if (std::holds_alternative<TerminateMessage>(*request)) return;
        HandleRequest(*request);
        if (m_writer.Buffer().size() > kFlushThreshold) Flush();
    }
}

int16_t Session::FormatFor(const std::vector<int16_t>& formats, size_t column) const {
    if (formats.empty()) return kTextFormat;
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
    if (std::holds_alternative<SyncMessage>(request)) {
        m_skipUntilSync = false;
        m_portals.erase("");
        m_writer.ReadyForQuery(m_transaction);
        Flush();
        return;
    }
    if (std::holds_alternative<FlushMessage>(request)) {
        Flush();
        return;
    }
    // Left over from a COPY FROM STDIN that failed while the client was still sending.
    if (std::holds_alternative<CopyMessage>(request)) return;
    if (m_skipUntilSync) return;
    try {
        if (auto* p = std::get_if<ParseMessage>(&request)) {
            if (!p->name.empty() && m_prepared.count(p->name))
                throw SqlError("42P05", "The prepared statement \"" + p->name + "\" already exists.");
            auto statements = SplitStatements(p->sql);
            size_t nonEmpty = 0;
            for (const auto& s : statements) nonEmpty += !s.IsEmpty();
            if (nonEmpty > 1) throw SqlError("42601", "A prepared statement may hold only one command.");
            if (m_transaction == 'E')
                for (const auto& s : statements)
                    if (!s.IsEmpty() && CommandTagFor(s) != "COMMIT" && CommandTagFor(s) != "ROLLBACK")
                        throw AbortedTransaction();
            // Statements the engine runs are checked now, so that a bad one fails at Parse.
            for (const auto& s : statements)
                if (!s.IsEmpty() && std::holds_alternative<EngineStatement>(ClassifyStatement(s)))
                    PrepareForEngine(RewriteForEngine(s, m_connection, Names()));
            m_prepared[p->name] = Prepared{p->sql, p->paramTypes};
            m_writer.ParseComplete();
        } else if (auto* b = std::get_if<BindMessage>(&request)) {
            auto it = m_prepared.find(b->statement);
            if (it == m_prepared.end())
                throw SqlError("26000", "The prepared statement \"" + b->statement + "\" does not exist.");
            for (int16_t f : b->paramFormats)
                if (f != 0) throw SqlError("0A000", "Parameters must be sent in the text format.");
            for (const auto& p : b->params)
                if (p && !IsValidUtf8(*p)) throw SqlError("22021", "invalid byte sequence for encoding \"UTF8\"");
            for (int16_t f : b->resultFormats)
                if (f != kTextFormat && f != kBinaryFormat)
                    throw SqlError("0A000", "Result format code " + std::to_string(f) + " is not supported.",
                                   "Use 0 for text or 2 for binary.");
            if (!b->portal.empty() && m_portals.count(b->portal))
                throw SqlError("42P03", "The portal \"" + b->portal + "\" already exists.");
            m_portals[b->portal] = Portal{it->second.sql, b->resultFormats, b->params, false};
            m_writer.BindComplete();
        } else if (auto* d = std::get_if<DescribeMessage>(&request)) {
            if (d->kind == 'S') {
                auto it = m_prepared.find(d->name);
                if (it == m_prepared.end())
                    throw SqlError("26000", "The prepared statement \"" + d->name + "\" does not exist.");
                DescribeStatement(it->second.sql, {}, true);
            } else {
                auto it = m_portals.find(d->name);
                if (it == m_portals.end()) throw SqlError("34000", "The portal \"" + d->name + "\" does not exist.");
                DescribeStatement(it->second.sql, it->second.resultFormats, false);
                it->second.described = true;
            }
        } else if (auto* e = std::get_if<ExecuteMessage>(&request)) {
            auto it = m_portals.find(e->portal);
            if (it == m_portals.end()) throw SqlError("34000", "The portal \"" + e->portal + "\" does not exist.");
            if (e->maxRows > 0)
                throw SqlError("0A000", "Execute with a row limit is not supported.", "Ask for all rows (limit 0).");
            Portal portal = it->second;
            m_portals.erase(it);
            auto statements = SplitStatements(portal.sql);
            const Statement* statement = nullptr;
            for (const auto& s : statements)
                if (!s.IsEmpty()) statement = &s;
            if (!statement) m_writer.EmptyQueryResponse();
            else RunStatement(*statement, portal.resultFormats, false, portal.params);
        } else if (auto* c = std::get_if<CloseMessage>(&request)) {
            if (c->kind == 'S') m_prepared.erase(c->name);
            else m_portals.erase(c->name);
            m_writer.CloseComplete();
        }
    } catch (const SqlError& e) {
        SendError(FieldsOf(e));
        // Any failed message inside a block aborts it, as a failed statement does.
        if (m_transaction == 'T') m_transaction = 'E';
        m_skipUntilSync = true;
        RecoverInvalidated(e);
    }
}

void Session::SimpleQuery(const std::string& sql) {
    try {
        auto statements = SplitStatements(sql);
        bool any = false;
        for (const auto& s : statements) {
            if (s.IsEmpty()) continue;
            any = true;
            m_inSimpleQuery = true;
            try {
                RunStatement(s, {DefaultFormat()}, true);
            } catch (...) {
                m_inSimpleQuery = false;
                throw;
            }
            m_inSimpleQuery = false;
            if (m_writer.Buffer().size() > kFlushThreshold) Flush();
        }
        if (!any) m_writer.EmptyQueryResponse();
    } catch (const SqlError& e) {
        SendError(FieldsOf(e));
        if (m_transaction == 'T') m_transaction = 'E';
        RecoverInvalidated(e);
    }
}

bool Session::CommittedDespite(const SqlError& error) {
    return std::string_view(error.what()).find("COMMIT succeeded and is durable") != std::string_view::npos;
}

void Session::CommitOwnTransaction() {
    try {
        RunEngine(m_connection, "COMMIT");
    } catch (const SqlError& e) {
        if (!CommittedDespite(e)) throw;
        ErrorFields f;
        f.severity = "WARNING";
        f.sqlstate = e.sqlstate;
        f.message = e.what();
        m_writer.Notice(f);
        m_transaction = 'I';
        RecoverInvalidated(e);
    }
}

void Session::RecoverInvalidated(const SqlError& error) {
    std::string alias = InvalidatedDatabase(error.what());
    if (alias.empty() || m_transaction != 'I') return;  // an open block still holds the database
    bool ours = false;
    for (const auto& d : m_databases) ours |= EqualsFolded(d, alias);
    if (!ours) return;
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

void Session::RunStatement(const Statement& statement, const std::vector<int16_t>& formats, bool sendDescription,
                           const std::vector<std::optional<std::string>>& params) {
    Command command = ClassifyStatement(statement);
    if (m_transaction == 'E') {
        // Whatever failed, the block's earlier writes must not be committed: the
        // engine keeps its transaction alive after some errors, so it is ended here.
        std::string tag = CommandTagFor(statement);
        if (tag != "COMMIT" && tag != "ROLLBACK") throw AbortedTransaction();
        try {
            RunEngine(m_connection, "ROLLBACK");
        } catch (const SqlError& e) {
            // A failed COMMIT has ended the engine's transaction already.
            if (std::string_view(e.what()).find("no transaction is active") == std::string_view::npos) throw;
        }
        m_transaction = 'I';
        m_writer.CommandComplete("ROLLBACK");
        return;
    }
    std::visit(
        [&](auto& c) {
            using T = std::decay_t<decltype(c)>;
            if constexpr (std::is_same_v<T, EngineStatement>) {
                if (!InterceptEngineStatement(statement, formats, sendDescription, params))
                    RunEngineStatement(statement, RewriteForEngine(statement, m_connection, Names()), formats,
                                       sendDescription, params);
            } else if constexpr (std::is_same_v<T, CreateDatabaseCommand>) {
                CreateDatabase(c.path, c.ifNotExists);
                m_writer.CommandComplete("CREATE DATABASE");
            } else if constexpr (std::is_same_v<T, DropDatabaseCommand>) {
                DropDatabase(c.path, c.ifExists);
                m_writer.CommandComplete("DROP DATABASE");
            } else if constexpr (std::is_same_v<T, AttachDatabaseCommand>) {
                Attach(c.path, c.alias);
                m_writer.CommandComplete("ATTACH DATABASE");
            } else if constexpr (std::is_same_v<T, DetachDatabaseCommand>) {
                if (c.all) DetachAll();
                else Detach(c.alias);
                m_writer.CommandComplete("DETACH DATABASE");
            } else if constexpr (std::is_same_v<T, CreateSchemaCommand>) {
                CreateSchema(c.database, c.schema, c.ifNotExists);
                m_writer.CommandComplete("CREATE SCHEMA");
            } else if constexpr (std::is_same_v<T, CreateTableCommand>) {
                CreateTable(c);
                m_writer.CommandComplete("CREATE TABLE");
            } else if constexpr (std::is_same_v<T, ShowCommand>) {
                if (sendDescription) m_writer.RowDescription({{c.name, 25, -1, -1, FormatFor(formats, 0)}});
                Show(c.name);
            } else if constexpr (std::is_same_v<T, SetCommand>) {
                Set(c.name, c.value);
                m_writer.CommandComplete("SET");
            } else if constexpr (std::is_same_v<T, CopyToStdoutCommand>) {
                CopyToStdout(c.query, c.binary);
            } else if constexpr (std::is_same_v<T, CopyFromStdinCommand>) {
                CopyFromStdin(c);
            } else if constexpr (std::is_same_v<T, CreateStreamCommand>) {
                CreateStream(c);
                m_writer.CommandComplete("CREATE EXTERNAL STREAM");
            } else if constexpr (std::is_same_v<T, CloseStreamCommand>) {
                CloseStream(c);
                m_writer.CommandComplete("CLOSE EXTERNAL STREAM");
            } else if constexpr (std::is_same_v<T, DropStreamCommand>) {
                DropStream(c);
                m_writer.CommandComplete("DROP EXTERNAL STREAM");
            } else if constexpr (std::is_same_v<T, InsertBulkCommand>) {
                InsertBulk(c);
            } else if constexpr (std::is_same_v<T, RefusedCommand>) {
                throw SqlError(c.sqlstate, c.message);
            }
        },
        command);
}

namespace {

// The engine hands out a copy of the name that the caller frees.
std::string PreparedColumnName(duckdb_prepared_statement ps, idx_t i) {
    const char* name = duckdb_prepared_statement_column_name(ps, i);
    std::string out = name ? name : "?column?";
    duckdb_free(const_cast<char*>(name));
    return out;
}

// Prepares a statement; columns of types without an encoding are cast to text.
duckdb_prepared_statement Prepare(duckdb_connection connection, std::string text) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        duckdb_prepared_statement ps = nullptr;
        if (duckdb_prepare(connection, text.c_str(), &ps) == DuckDBError) {
            ErrorFields e = EngineErrorFields(duckdb_prepare_error(ps) ? duckdb_prepare_error(ps) : "Prepare failed");
            duckdb_destroy_prepare(&ps);
            throw SqlError(e.sqlstate, e.message, e.hint);
        }
        try {
            RefuseFileStatementType(duckdb_prepared_statement_type(ps));
        } catch (...) {
            duckdb_destroy_prepare(&ps);
            throw;
        }
        if (attempt == 1 || duckdb_prepared_statement_type(ps) != DUCKDB_STATEMENT_TYPE_SELECT) return ps;
        idx_t n = duckdb_prepared_statement_column_count(ps);
        bool wrap = false;
        std::string select;
        for (idx_t i = 0; i < n; ++i) {
            duckdb_logical_type type = duckdb_prepared_statement_column_logical_type(ps, i);
            bool ok = IsEncodableType(type);
            duckdb_destroy_logical_type(&type);
            std::string ref = "#" + std::to_string(i + 1);
            select += (i ? ", " : "") + (ok ? ref : "CAST(" + ref + " AS VARCHAR)") + " AS " +
                      QuoteIdentifier(PreparedColumnName(ps, i));
            wrap |= !ok;
        }
        if (!wrap) return ps;
        duckdb_destroy_prepare(&ps);
        text = "SELECT " + select + " FROM (" + text + ") AS kelvod_result";
    }
    return nullptr;
}

struct PreparedGuard {
    duckdb_prepared_statement ps;
    ~PreparedGuard() { duckdb_destroy_prepare(&ps); }
};
struct ResultGuard {
    duckdb_result result{};
    bool valid = false;
    ~ResultGuard() {
        if (valid) duckdb_destroy_result(&result);
    }
};
struct ChunkGuard {
    duckdb_data_chunk chunk;
    ~ChunkGuard() { duckdb_destroy_data_chunk(&chunk); }
};

std::string ChangedRowsTag(duckdb_statement_type type, const std::string& fallback, int64_t count) {
    switch (type) {
    case DUCKDB_STATEMENT_TYPE_INSERT: return "INSERT 0 " + std::to_string(count);
    case DUCKDB_STATEMENT_TYPE_UPDATE: return "UPDATE " + std::to_string(count);
    case DUCKDB_STATEMENT_TYPE_DELETE: return "DELETE " + std::to_string(count);
    default: return fallback + " " + std::to_string(count);
    }
}

bool ChangesRows(duckdb_statement_type type) {
    return type == DUCKDB_STATEMENT_TYPE_INSERT || type == DUCKDB_STATEMENT_TYPE_UPDATE ||
           type == DUCKDB_STATEMENT_TYPE_DELETE;
}

// Whether running the statement yields rows, so that Describe answers RowDescription
// rather than NoData: the engine gives every statement a result column, even those
// that end with a tag alone.
bool ReturnsRows(duckdb_prepared_statement ps, const Statement& statement) {
    duckdb_statement_type type = duckdb_prepared_statement_type(ps);
    if (ChangesRows(type)) {
        for (const Token* t : statement.Significant())
            if (t->kind == Token::Kind::Word && t->value == "returning") return true;
        return false;
    }
    switch (type) {
    case DUCKDB_STATEMENT_TYPE_SELECT:
    case DUCKDB_STATEMENT_TYPE_EXPLAIN:
    case DUCKDB_STATEMENT_TYPE_PRAGMA:
    case DUCKDB_STATEMENT_TYPE_CALL:
    case DUCKDB_STATEMENT_TYPE_EXECUTE:
    case DUCKDB_STATEMENT_TYPE_RELATION: return duckdb_prepared_statement_column_count(ps) > 0;
    default: return false;
    }
}

}  // namespace

void Session::RunEngineStatement(const Statement& statement, const std::string& text,
                                 const std::vector<int16_t>& formats, bool sendDescription,
                                 const std::vector<std::optional<std::string>>& params) {
    RunningStatement running(*this);
    PreparedGuard ps{Prepare(m_connection, text)};
    if (duckdb_nparams(ps.ps) != params.size())
        throw SqlError("08P01", "The statement needs " + std::to_string(duckdb_nparams(ps.ps)) +
                                    " parameters, but " + std::to_string(params.size()) + " were given.");
    for (size_t i = 0; i < params.size(); ++i) {
        duckdb_state st = params[i] ? duckdb_bind_varchar_length(ps.ps, i + 1, params[i]->data(), params[i]->size())
                                    : duckdb_bind_null(ps.ps, i + 1);
        if (st == DuckDBError) throw SqlError("22P02", "Parameter $" + std::to_string(i + 1) + " cannot be bound.");
    }
    duckdb_statement_type type = duckdb_prepared_statement_type(ps.ps);
    duckdb_pending_result pending = nullptr;
    if (duckdb_pending_prepared_streaming(ps.ps, &pending) == DuckDBError) {
        ErrorFields e = EngineErrorFields(duckdb_pending_error(pending) ? duckdb_pending_error(pending) : "");
        duckdb_destroy_pending(&pending);
        throw SqlError(e.sqlstate, e.message, e.hint);
    }
    ResultGuard result;
    duckdb_state state = duckdb_execute_pending(pending, &result.result);
    duckdb_destroy_pending(&pending);
    result.valid = true;
    if (state == DuckDBError) {
        ThrowIfCancelled();
        ErrorFields e = EngineErrorFields(duckdb_result_error(&result.result));
        SqlError error(e.sqlstate, e.message, e.hint);
        if (CommandTagFor(statement) == "COMMIT" && CommittedDespite(error)) {
            ErrorFields warning = e;
            warning.severity = "WARNING";
            m_writer.Notice(warning);
            m_transaction = 'I';
            m_writer.CommandComplete("COMMIT");
            RecoverInvalidated(error);
            return;
        }
        throw error;
    }
    ThrowIfCancelled();
    std::string tag = CommandTagFor(statement);
    if (tag == "BEGIN") m_transaction = 'T';
    else if (tag == "COMMIT" || tag == "ROLLBACK") m_transaction = 'I';

    duckdb_result_type returned = duckdb_result_return_type(result.result);
    if (returned == DUCKDB_RESULT_TYPE_CHANGED_ROWS) {
        int64_t count = 0;
        ChunkGuard chunk{duckdb_fetch_chunk(result.result)};
        if (chunk.chunk && duckdb_data_chunk_get_size(chunk.chunk) > 0) {
            duckdb_vector v = duckdb_data_chunk_get_vector(chunk.chunk, 0);
            std::memcpy(&count, duckdb_vector_get_data(v), sizeof count);
        }
        m_writer.CommandComplete(ChangedRowsTag(type, tag, count));
        return;
    }
    if (returned != DUCKDB_RESULT_TYPE_QUERY_RESULT) {
        if (m_copy) throw SqlError("0A000", "COPY TO STDOUT needs a query that returns rows.");
        m_writer.CommandComplete(tag);
        return;
    }
    idx_t columns = duckdb_column_count(&result.result);
    if (formats.size() > 1 && formats.size() != columns)
        throw SqlError("08P01", "The Bind message has " + std::to_string(formats.size()) +
                                    " result formats but the query has " + std::to_string(columns) + " columns.");
    std::vector<ColumnEncoder> encoders;
    std::vector<ColumnDescription> descriptions;
    std::vector<int16_t> columnFormats;
    for (idx_t i = 0; i < columns; ++i) {
        duckdb_logical_type lt = duckdb_column_logical_type(&result.result, i);
        encoders.emplace_back(lt, ExtraFloatDigits());
        duckdb_destroy_logical_type(&lt);
        columnFormats.push_back(FormatFor(formats, i));
        const char* name = duckdb_column_name(&result.result, i);
        descriptions.push_back(encoders.back().Describe(name ? name : "?column?", columnFormats.back()));
    }
    if (m_copy) {
        m_writer.CopyOutResponse(m_copy->binary, static_cast<int16_t>(columns));
        if (m_copy->binary) m_writer.CopyData(std::string("KLVCPY") + std::string(13, '\0'));
    } else if (sendDescription) {
        m_writer.RowDescription(descriptions);
    }
    uint64_t rows = 0;
    for (;;) {
        ChunkGuard chunk{duckdb_fetch_chunk(result.result)};
        if (!chunk.chunk) {
            const char* error = duckdb_result_error(&result.result);
            ThrowIfCancelled();
            if (error && *error) {
                ErrorFields e = EngineErrorFields(error);
                throw SqlError(e.sqlstate, e.message, e.hint);
            }
            break;
        }
        idx_t n = duckdb_data_chunk_get_size(chunk.chunk);
        std::vector<duckdb_vector> vectors(columns);
        for (idx_t c = 0; c < columns; ++c) vectors[c] = duckdb_data_chunk_get_vector(chunk.chunk, c);
        for (idx_t r = 0; r < n && m_copy; ++r) CopyRow(encoders, vectors, columnFormats, descriptions, r);
        for (idx_t r = 0; r < n && !m_copy; ++r) {
            // A value that cannot be encoded ends the statement; its row is not sent half-written.
            size_t rowStart = m_writer.Buffer().size();
            try {
                m_writer.BeginDataRow(static_cast<int16_t>(columns));
                for (idx_t c = 0; c < columns; ++c) encoders[c].Write(m_writer, vectors[c], r, columnFormats[c]);
                m_writer.EndDataRow();
            } catch (...) {
                m_writer.Buffer().resize(rowStart);
                throw;
            }
        }
        rows += n;
        // Rows go out chunk by chunk: a client that stops reading blocks this
        // thread in send, and the engine produces no more than one chunk ahead.
        if (m_writer.Buffer().size() > kFlushThreshold) Flush();
        ThrowIfCancelled();
    }
    if (m_copy) {
        m_writer.CopyDone();
        m_writer.CommandComplete("COPY " + std::to_string(rows));
        return;
    }
    if (type == DUCKDB_STATEMENT_TYPE_SELECT) m_writer.CommandComplete("SELECT " + std::to_string(rows));
    else if (ChangesRows(type)) m_writer.CommandComplete(ChangedRowsTag(type, tag, static_cast<int64_t>(rows)));
    else m_writer.CommandComplete(tag);
}

int Session::ExtraFloatDigits() const {
    auto it = m_settings.find("extra_float_digits");
    if (it == m_settings.end()) return 1;
    try {
        return std::stoi(it->second);
    } catch (const std::exception&) {
        return 1;
    }
}

bool Session::InterceptEngineStatement(const Statement& statement, const std::vector<int16_t>& formats,
                                       bool sendDescription, const std::vector<std::optional<std::string>>& params) {
    std::string tag = CommandTagFor(statement);
    if (tag == "SET" || tag == "RESET") {
        // The engine's settings are locked, and a locked one reads the same as one
        // that does not exist; clients tell the two apart.
        Tokens t = statement.Significant();
        size_t i = IsWord(t, 1, "session") || IsWord(t, 1, "local") || IsWord(t, 1, "global") ? 2 : 1;
        if (IsName(t, i) && !IsSymbol(t, i + 1, ".") && !IsWord(t, i, "variable") && !IsWord(t, i, "all") &&
            QueryText(m_connection, "SELECT 1 FROM duckdb_settings() WHERE lower(name) = lower(" +
                                        QuoteLiteral(t[i]->value) + ")")
                .empty())
            throw SqlError("42704", "unrecognized configuration parameter \"" + t[i]->value + "\"");
        return false;
    }
    if (tag != "PREPARE" && tag != "DEALLOCATE") return false;
    Tokens t = statement.Significant();
    size_t i = 1;
    if (tag == "DEALLOCATE" && IsWord(t, i, "prepare")) ++i;
    if (tag == "DEALLOCATE" && IsWord(t, i, "all") && i + 1 == t.size()) {
        for (const auto& name : m_sqlPrepared) RunEngine(m_connection, "DEALLOCATE " + QuoteIdentifier(name));
        m_sqlPrepared.clear();
        m_prepared.clear();
        m_writer.CommandComplete("DEALLOCATE ALL");
        return true;
    }
    if (!IsName(t, i) || (tag == "DEALLOCATE" && i + 1 != t.size())) return false;  // the engine judges it
    std::string name = t[i]->value;
    std::string folded = name;
    for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (tag == "PREPARE") {
        if (m_sqlPrepared.count(folded) || m_prepared.count(name))
            throw SqlError("42P05", "The prepared statement \"" + name + "\" already exists.");
        RunEngineStatement(statement, RewriteForEngine(statement, m_connection, Names()), formats, sendDescription,
                           params);
        m_sqlPrepared.insert(folded);
        return true;
    }
    if (m_prepared.erase(name)) {
        m_writer.CommandComplete("DEALLOCATE");
        return true;
    }
    if (!m_sqlPrepared.count(folded))
        throw SqlError("26000", "The prepared statement \"" + name + "\" does not exist.");
    RunEngineStatement(statement, RewriteForEngine(statement, m_connection, Names()), formats, sendDescription,
                       params);
    m_sqlPrepared.erase(folded);
    return true;
}

void Session::PrepareForEngine(const std::string& text) { PreparedGuard ps{Prepare(m_connection, text)}; }

void Session::DescribeStatement(const std::string& sql, const std::vector<int16_t>& formats, bool withParameters) {
    auto statements = SplitStatements(sql);
    const Statement* statement = nullptr;
    for (const auto& s : statements)
        if (!s.IsEmpty()) statement = &s;
    Command command = statement ? ClassifyStatement(*statement) : Command{};
    if (!statement || !std::holds_alternative<EngineStatement>(command)) {
        if (withParameters) m_writer.ParameterDescription({});
        if (statement && std::holds_alternative<ShowCommand>(command))
            m_writer.RowDescription({{std::get<ShowCommand>(command).name, 25, -1, -1, FormatFor(formats, 0)}});
        else m_writer.NoData();
        return;
    }
    PreparedGuard ps{Prepare(m_connection, RewriteForEngine(*statement, m_connection, Names()))};
    if (withParameters) m_writer.ParameterDescription(std::vector<uint32_t>(duckdb_nparams(ps.ps), 25));
    if (!ReturnsRows(ps.ps, *statement)) {
        m_writer.NoData();
        return;
    }
    std::vector<ColumnDescription> descriptions;
    for (idx_t i = 0; i < duckdb_prepared_statement_column_count(ps.ps); ++i) {
        duckdb_logical_type lt = duckdb_prepared_statement_column_logical_type(ps.ps, i);
        ColumnEncoder encoder(lt);
        duckdb_destroy_logical_type(&lt);
        descriptions.push_back(encoder.Describe(PreparedColumnName(ps.ps, i), FormatFor(formats, i)));
    }
    m_writer.RowDescription(descriptions);
}

void Session::CopyToStdout(const Statement& query, bool binary) {
    // The query's rows are re-framed as COPY data row by row, so a large copy
    // streams as a query does.
    CopyTarget target{binary};
    m_copy = &target;
    try {
        RunEngineStatement(query, RewriteForEngine(query, m_connection, Names()),
                           {binary ? kBinaryFormat : kTextFormat}, true, {});
    } catch (...) {
        m_copy = nullptr;
        throw;
    }
    m_copy = nullptr;
}

void Session::CopyRow(const std::vector<ColumnEncoder>& encoders, const std::vector<duckdb_vector>& vectors,
                      const std::vector<int16_t>& formats, const std::vector<ColumnDescription>& columns, idx_t row) {
    // Each field is encoded as for a DataRow (Int32 length, then the bytes) and re-framed.
    ProtocolWriter scratch;
    std::string line;
    for (size_t c = 0; c < encoders.size(); ++c) {
        scratch.Clear();
        encoders[c].Write(scratch, vectors[c], row, formats[c]);
        const std::string& b = scratch.Buffer();
        int32_t len = static_cast<int32_t>((uint32_t(uint8_t(b[0])) << 24) | (uint32_t(uint8_t(b[1])) << 16) |
                                           (uint32_t(uint8_t(b[2])) << 8) | uint32_t(uint8_t(b[3])));
        if (m_copy->binary) {
            if (len < 0) {
                line.push_back(1);
                continue;
            }
            line.push_back(0);
            if (columns[c].typeLength < 0) {
                auto u = static_cast<uint32_t>(len);
                line.append(reinterpret_cast<const char*>(&u), 4);
            }
            line.append(b, 4, static_cast<size_t>(len));
            continue;
        }
        if (c) line.push_back('\t');
        if (len < 0) {
            line += "\\N";
            continue;
        }
        for (size_t k = 4; k < b.size(); ++k) {
            char ch = b[k];
            if (ch == '\\') line += "\\\\";
            else if (ch == '\t') line += "\\t";
            else if (ch == '\n') line += "\\n";
            else if (ch == '\r') line += "\\r";
            else line.push_back(ch);
        }
    }
    if (!m_copy->binary) line.push_back('\n');
    m_writer.CopyData(line);
}

}  // namespace kelvod
