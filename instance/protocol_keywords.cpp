// Keyword tables and the `options` value syntax.
#include "instance/protocol_keywords.h"

#include <array>
#include <utility>

#include <boost/container/flat_set.hpp>

namespace kelvoapi {
namespace {

// The wire-protocol client's options, plus requiressl, krbsrvname and gsslib,
// which it does not know: given a value they reach it and it refuses the
// connection, which is how callers have always learnt they are unsupported.
const boost::container::flat_set<std::string_view>& knownProtocolParameters() {
    static const boost::container::flat_set<std::string_view> names{
        "host",           "hostaddr",       "port",
        "dbname",         "user",           "password",
        "connect_timeout", "client_encoding", "options",
        "application_name", "fallback_application_name", "keepalives",
        "keepalives_idle", "keepalives_interval", "keepalives_count",
        "tty",            "sslmode",        "requiressl",
        "sslcompression", "sslcert",        "sslkey",
        "sslrootcert",    "sslcrl",         "requirepeer",
        "krbsrvname",     "gsslib",         "service",
        "authtype",       "passfile",       "replication",
        "target_session_attrs",
    };
    return names;
}

constexpr std::array<std::pair<std::string_view, std::string_view>, 5> kCompatibilityNames{{
    {"date_style", "DateStyle"},
    {"interval_style", "IntervalStyle"},
    {"requested_protocol_version", "requestedProtocolVersion"},
    {"time_zone", "TimeZone"},
    {"two_digit_year_threshold", "TwoDigitYearThreshold"},
}};

// The C locale's white space; any of it would end an item for the server.
bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

bool NeedsQuotes(std::string_view value) {
    if (value.empty()) return true;
    for (char c : value) {
        if (IsSpace(c) || c == '\'' || c == '\\') return true;
    }
    return false;
}

}  // namespace

bool isConnectionParameter(std::string_view name) { return knownProtocolParameters().count(name) != 0; }

std::string_view mapParameterForCompatibility(std::string_view name) {
    for (const auto& [parameter, serverName] : kCompatibilityNames) {
        if (parameter == name) return serverName;
    }
    return name;
}

std::string EscapeAndQuoteOptionsValue(std::string_view value) {
    if (!NeedsQuotes(value)) return std::string(value);
    std::string out;
    out.reserve(value.size() + 8);
    out.push_back('\'');
    for (char c : value) {
        if (c == '\\' || c == '\'') out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('\'');
    return out;
}

bool IsValidOptionsName(std::string_view name) {
    if (name.empty()) return false;
    for (char c : name) {
        if (IsSpace(c) || c == '=') return false;
    }
    return true;
}

}  // namespace kelvoapi
