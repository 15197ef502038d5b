// A session's start-up: the start-up packet (after a refused SSL request, or a
// cancel request instead), its parameters and options, the databases its
// dbname names, and the parameter statuses a client expects.
#include "kelvod/protocol/session_startup.h"

#include <cstdlib>

#include "kelvod/protocol/startup_options.h"
#include "kelvod/sql/file_access.h"
#include "kelvod/sql/statement_tokens.h"

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

bool SessionStartup::Accept(std::chrono::steady_clock::time_point deadline) {
    StartupRequest request;
    for (;;) {
        auto packet = m_context.Reader().TakeStartupPacket();
        if (!packet) {
            if (!m_context.ReadMore(deadline))
                return false;
            continue;
        }
        if (std::holds_alternative<SslRequest>(*packet)) {
            m_context.Writer().SslRefused();
            m_context.Flush();
            continue;
        }
        if (auto* c = std::get_if<CancelRequest>(&*packet)) {
            m_context.Server().Cancel(c->pid, c->key);
            return false;
        }
        request = std::get<StartupRequest>(*packet);
        break;
    }
    try {
        ApplyParameters(request);
    } catch (const SqlError& e) {
        ErrorFields f;
        f.severity = "FATAL";
        f.sqlstate = e.sqlstate;
        f.message = e.what();
        f.hint = e.hint;
        m_context.SendError(f);
        m_context.Flush();
        return false;
    }
    return true;
}

void SessionStartup::ApplyParameters(const StartupRequest& request) {
    m_context.Connect();
    RunEngine(m_context.Connection(), "ATTACH ':memory:' AS " + QuoteIdentifier(m_context.PrivateDatabase()));
    std::string dbname;
    for (const auto& [name, value] : request.parameters) {
        if (name == "database") {
            dbname = value;
        } else if (name == "options") {
            ApplyOptions(value);
        } else if (name == "client_encoding") {
            if (!EqualsFolded(value, "UTF8") && !EqualsFolded(value, "UTF-8") && !EqualsFolded(value, "UNICODE")) {
                throw SqlError("22023", "The client encoding \"" + value + "\" is not supported.",
                               "This server speaks UTF8 only.");
            }
        } else if (name == "replication" && !value.empty() && value != "false" && value != "0") {
            throw SqlError("0A000", "Replication connections are not supported.");
        }
    }
    m_commands.UseFirstDatabase();
    ApplyDbname(dbname);
}

void SessionStartup::Welcome(int32_t key) {
    ProtocolWriter& writer = m_context.Writer();
    writer.AuthenticationOk();
    writer.ParameterStatus("server_version", "15.0");
    writer.ParameterStatus("server_encoding", "UTF8");
    writer.ParameterStatus("client_encoding", "UTF8");
    writer.ParameterStatus("DateStyle", "ISO, MDY");
    writer.ParameterStatus("IntervalStyle", "postgres");
    writer.ParameterStatus("TimeZone", "UTC");
    writer.ParameterStatus("integer_datetimes", "on");
    writer.ParameterStatus("standard_conforming_strings", "on");
    writer.BackendKeyData(m_context.Pid(), key);
    writer.ReadyForQuery(m_context.Transaction());
    m_context.Flush();
}

void SessionStartup::ApplyOptions(const std::string& options) {
    for (auto& [name, value] : ParseOptionItems(options)) {
        bool known = false;
        for (const char* k : kKnownSettings)
            known |= name == k;
        if (!known)
            throw SqlError("42704", "Unknown setting \"" + name + "\" in the options start-up value.");
        if (name == "result_format_code") {
            if (EqualsFolded(value, "KelvoBinary") || EqualsFolded(value, "Binary") || value == "2") {
                m_context.UseBinaryResults(true);
            } else if (EqualsFolded(value, "Text") || EqualsFolded(value, "KelvoText") || value == "0") {
                m_context.UseBinaryResults(false);
            } else {
                throw SqlError("22023", "Invalid value \"" + value + "\" for result_format_code.",
                               "Use KelvoBinary or Text.");
            }
        }
        if (name == "extra_float_digits") {
            char* end = nullptr;
            long digits = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || digits < -15 || digits > 3) {
                throw SqlError("22023", "Invalid value \"" + value + "\" for extra_float_digits.",
                               "Use an integer from -15 to 3.");
            }
        }
        m_context.RecordSetting(name, value);
    }
}

void SessionStartup::ApplyDbname(const std::string& dbname) {
    if (dbname.empty() || dbname == "[]")
        return;
    if (dbname == ":main") {
        if (m_context.Server().MainDatabase().empty())
            throw SqlError("3D000", "This server has no main database.", "Start it with --database.");
        // The main database is known by its file's stem, unless the engine keeps that name.
        std::string alias = PathStem(m_context.Server().MainDatabase());
        if (IsReservedAlias(alias))
            alias += "_database";
        m_commands.Attach(m_context.Server().MainDatabase(), alias);
        return;
    }
    if (dbname.front() == '[') {
        for (const auto& d : ParseDatabaseList(dbname))
            m_commands.Attach(d.path, d.alias);
        return;
    }
    m_commands.Attach(dbname, PathStem(dbname));
}

}  // namespace kelvod
