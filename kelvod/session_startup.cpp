// A session's start-up: the start-up packet (after a refused SSL request, or a
// cancel request instead), its parameters and options, the databases its
// dbname names, and the parameter statuses a client expects.
#include "kelvod/session.h"

#include <cstdlib>

#include "kelvod/file_access.h"
#include "kelvod/startup_options.h"
#include "kelvod/statement_tokens.h"

namespace kelvod {

namespace {

// The settings a client may send in `options`; anything else fails the start-up.
const char* const kKnownSettings[] = {"result_format_code",
                                      "DateStyle",
                                      "TimeZone",
                                      "IntervalStyle",
                                      "TwoDigitYearThreshold",
                                      "extra_float_digits",
                                      "requestedProtocolVersion",
                                      "dorvane_api",
                                      "allow_redirects",
                                      "user_agent",
                                      "client_info",
                                      "session_identifier",
                                      "failed_connection_attempts",
                                      "encryption_key",
                                      "access_mode",
                                      "search_path",
                                      "external_client_context",
                                      "application_name"};

}  // namespace

bool Session::Startup() {
    // A client that connects and never completes its start-up must not keep a thread forever.
    auto deadline = std::chrono::steady_clock::now() + m_startupTimeout;
    StartupRequest request;
    for (;;) {
        auto packet = m_reader.TakeStartupPacket();
        if (!packet) {
            if (!ReadMore(deadline))
                return false;
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
            if (name == "database")
                dbname = value;
            else if (name == "options")
                ApplyOptions(value);
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
        ErrorFields f;
        f.severity = "FATAL";
        f.sqlstate = e.sqlstate;
        f.message = e.what();
        f.hint = e.hint;
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
        for (const char* k : kKnownSettings)
            known |= name == k;
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
    if (dbname.empty() || dbname == "[]")
        return;
    if (dbname == ":main") {
        if (m_server.MainDatabase().empty())
            throw SqlError("3D000", "This server has no main database.", "Start it with --database.");
        // The main database is known by its file's stem, unless the engine keeps that name.
        std::string alias = PathStem(m_server.MainDatabase());
        if (IsReservedAlias(alias))
            alias += "_database";
        Attach(m_server.MainDatabase(), alias);
        return;
    }
    if (dbname.front() == '[') {
        for (const auto& d : ParseDatabaseList(dbname))
            Attach(d.path, d.alias);
        return;
    }
    Attach(dbname, PathStem(dbname));
}

}  // namespace kelvod
