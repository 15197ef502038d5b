// Keyword tables of the translation to wire-protocol keywords.
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
        "host",
        "hostaddr",
        "port",
        "dbname",
        "user",
        "password",
        "connect_timeout",
        "client_encoding",
        "options",
        "application_name",
        "fallback_application_name",
        "keepalives",
        "keepalives_idle",
        "keepalives_interval",
        "keepalives_count",
        "tty",
        "sslmode",
        "requiressl",
        "sslcompression",
        "sslcert",
        "sslkey",
        "sslrootcert",
        "sslcrl",
        "requirepeer",
        "krbsrvname",
        "gsslib",
        "service",
        "authtype",
        "passfile",
        "replication",
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

}  // namespace

bool isConnectionParameter(std::string_view name) { return knownProtocolParameters().count(name) != 0; }

std::string_view mapParameterForCompatibility(std::string_view name) {
    for (const auto& [parameter, serverName] : kCompatibilityNames) {
        if (parameter == name)
            return serverName;
    }
    return name;
}

}  // namespace kelvoapi
