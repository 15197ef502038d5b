// Translation of connection parameters into the wire-protocol client's
// keywords and values, the `options` syntax, the `dbname` JSON and the
// sanitized JSON of the log.
#include "instance/pq_params.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "error/error.h"
#include "instance/json_string.h"
#include "instance/protocol_keywords.h"

namespace kelvoapi {
namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

Parameters MakeParameters(const Entries& entries) {
    Parameters parameters;
    for (const auto& [name, value] : entries) parameters.Set(name, value);
    return parameters;
}

// The connection defaults that every connection of the library starts from.
Entries ConnectionDefaults() {
    return {{"dbname", "[]"},
            {"user", "pellory_internal_user"},
            {"result_format_code", "KelvoBinary"},
            {"requested_protocol_version", "1"},
            {"extra_float_digits", "2"},
            {"two_digit_year_threshold", "40"},
            {"allow_redirects", "true"}};
}

Entries With(Entries entries, const Entries& more) {
    entries.insert(entries.end(), more.begin(), more.end());
    return entries;
}

// The arrays as the wire-protocol client reads them: up to the null keyword.
Entries Keywords(const PQParams& params) {
    Entries out;
    const char* const* keywords = params.GetKeywords();
    const char* const* values = params.GetValues();
    for (; *keywords != nullptr; ++keywords, ++values) {
        EXPECT_NE(*values, nullptr);
        out.emplace_back(*keywords, *values);
    }
    EXPECT_EQ(*values, nullptr);
    return out;
}

const char kDefaultOptions[] =
    "allow_redirects=true extra_float_digits=2 requestedProtocolVersion=1 result_format_code=KelvoBinary "
    "TwoDigitYearThreshold=40";

struct TranslationCase {
    const char* title;
    Entries entries;
    Entries expected;
};

TEST(PQParamsTest, TranslatesParameterSets) {
    const TranslationCase cases[] = {
        {"connection defaults with a TCP endpoint",
         With(ConnectionDefaults(), {{"endpoint", "pel.tcp://localhost:7483"}}),
         {{"dbname", "[]"},
          {"host", "localhost"},
          {"port", "7483"},
          {"user", "pellory_internal_user"},
          {"options", kDefaultOptions}}},
        {"Unix-domain endpoint",
         {{"endpoint", "pel.domain:///tmp/domain/.s.PGSQL.8000"}},
         {{"host", "/tmp"}, {"port", "8000"}}},
        {"IPv6 endpoint", {{"endpoint", "pel.tcp://[::1]:80"}}, {{"host", "::1"}, {"port", "80"}}},
        {"endpoint with empty host and port entries",
         {{"endpoint", "pel.tcp://h:1"}, {"host", ""}, {"port", ""}},
         {{"host", "h"}, {"port", "1"}}},
        {"the five renamed settings",
         {{"date_style", "ISO"},
          {"interval_style", "iso_8601"},
          {"requested_protocol_version", "1"},
          {"time_zone", "UTC"},
          {"two_digit_year_threshold", "40"}},
         {{"options",
           "DateStyle=ISO IntervalStyle=iso_8601 requestedProtocolVersion=1 TimeZone=UTC TwoDigitYearThreshold=40"}}},
        {"quoted values",
         {{"user_agent", "External API"}, {"a", "it's"}, {"b", "C:\\dir"}, {"c", ""}, {"d", "tab\there"}},
         {{"options", "a='it\\'s' b='C:\\\\dir' c='' d='tab\there' user_agent='External API'"}}},
        {"explicit options with protocol keywords only",
         {{"options", "-c x=1  'raw'"}, {"user", "u"}, {"application_name", "app"}},
         {{"application_name", "app"}, {"user", "u"}, {"options", "-c x=1  'raw'"}}},
        {"empty explicit options send nothing", {{"options", ""}, {"user", "u"}}, {{"user", "u"}}},
        {"keywords the client does not know still pass",
         {{"requiressl", "1"}, {"krbsrvname", "k"}, {"gsslib", "g"}, {"password", "p"}},
         {{"gsslib", "g"}, {"krbsrvname", "k"}, {"password", "p"}, {"requiressl", "1"}}},
        {"dbname absent", {{"user", "u"}}, {{"user", "u"}}},
        {"dbname empty", {{"dbname", ""}, {"user", "u"}}, {{"dbname", "[]"}, {"user", "u"}}},
        {"dbname list", {{"dbname", "[{\"path\":\"a\"}]"}}, {{"dbname", "[{\"path\":\"a\"}]"}}},
        {"dbname not JSON but a list", {{"dbname", "[x"}}, {{"dbname", "[x"}}},
        {"dbname :main", {{"dbname", ":main"}}, {{"dbname", ":main"}}},
        {"dbname plain path",
         {{"dbname", "/data/sales.kelvo"}, {"user", "u"}},
         {{"dbname", "[{\n    \"alias\": \"sales\",\n    \"path\": \"\\/data\\/sales.kelvo\"\n}\n]"}, {"user", "u"}}},
        {"dbname with key and mode",
         {{"dbname", "db"}, {"encryption_key", "k\"ey"}, {"access_mode", "read_only"}},
         {{"dbname",
           "[{\n    \"alias\": \"db\",\n    \"path\": \"db\",\n    \"encryption_key\": \"k\\\"ey\",\n"
           "    \"access_mode\": \"read_only\"\n}\n]"}}},
        {"dbname with empty key and mode",
         {{"dbname", ".hidden"}, {"encryption_key", ""}, {"access_mode", ""}},
         {{"dbname", "[{\n    \"alias\": \".hidden\",\n    \"path\": \".hidden\"\n}\n]"},
          {"options", "access_mode='' encryption_key=''"}}},
        {"key beside a dbname list travels in options",
         {{"dbname", "[]"}, {"encryption_key", "k"}},
         {{"dbname", "[]"}, {"options", "encryption_key=k"}}},
        {"dbname with two extensions and control characters",
         {{"dbname", "a.b.c\n"}},
         {{"dbname", "[{\n    \"alias\": \"a.b\",\n    \"path\": \"a.b.c\\n\"\n}\n]"}}},
    };
    for (const TranslationCase& c : cases) {
        SCOPED_TRACE(c.title);
        const Parameters parameters = MakeParameters(c.entries);
        const Parameters before = parameters;
        const PQParams params = ConvertToPQParams(parameters);
        EXPECT_EQ(Keywords(params), c.expected);
        EXPECT_EQ(std::vector(parameters.begin(), parameters.end()), std::vector(before.begin(), before.end()));
    }
}

struct RefusalCase {
    const char* title;
    Entries entries;
    const char* sqlstate;
    std::string message;
    uint32_t contextId;
};

TEST(PQParamsTest, RefusesConflictingAndUnsafeParameters) {
    const std::string conflict =
        "The `options` parameter may not be combined with other parameters that represent options. ";
    const RefusalCase cases[] = {
        {"options with the connection defaults", With(ConnectionDefaults(), {{"options", "-c x=1"}}), "22023",
         conflict + "allow_redirects=true extra_float_digits=2", 0x1d449d7},
        {"options after a secret setting",
         {{"dbname", "[]"}, {"encryption_key", "s3cret"}, {"a", "1"}, {"options", "x"}}, "22023",
         conflict + "a=1 encryption_key=********", 0x1d449d7},
        {"a setting after options", {{"options", "x"}, {"time_zone", "UTC"}}, "22023", conflict + "TimeZone",
         0xaf779d7},
        {"endpoint and host", {{"endpoint", "pel.tcp://h:1"}, {"host", "x"}}, "22023",
         "Conflicting parameters: 'endpoint' and 'host' may not be specified at the same time!", 0x1d799d7},
        {"endpoint and port", {{"endpoint", "pel.tcp://h:1"}, {"port", "1"}}, "22023",
         "Conflicting parameters: 'endpoint' and 'port' may not be specified at the same time!", 0x4aa99d7},
        {"name with a blank", {{"a b", "1"}}, "22023",
         "Invalid parameter name: \"a b\", a parameter sent as an option must be non-empty and may contain "
         "neither white space nor '='.",
         0x0b7e0a5d},
        {"name with a line feed", {{"a\nb", "1"}}, "22023",
         "Invalid parameter name: \"a\nb\", a parameter sent as an option must be non-empty and may contain "
         "neither white space nor '='.",
         0x0b7e0a5d},
        {"name with '='", {{"a=b", "1"}}, "22023",
         "Invalid parameter name: \"a=b\", a parameter sent as an option must be non-empty and may contain "
         "neither white space nor '='.",
         0x0b7e0a5d},
        {"empty name", {{"", "1"}}, "22023",
         "Invalid parameter name: \"\", a parameter sent as an option must be non-empty and may contain "
         "neither white space nor '='.",
         0x0b7e0a5d},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.title);
        try {
            ConvertToPQParams(MakeParameters(c.entries));
            ADD_FAILURE() << "accepted";
        } catch (const Error& e) {
            EXPECT_EQ(e.GetSqlstate(), c.sqlstate);
            EXPECT_EQ(e.GetMessage(), c.message);
            EXPECT_EQ(e.GetContextId().value, c.contextId);
        }
    }
}

TEST(PQParamsTest, SplittingTheEndpointTwiceChangesNothingMore) {
    Parameters parameters = MakeParameters({{"endpoint", "pel.tcp://h:1"}});
    parameters.SplitEndpointParameter();
    parameters.SplitEndpointParameter();
    const Entries expected{{"host", "h"}, {"port", "1"}};
    EXPECT_EQ(Entries(parameters.begin(), parameters.end()), expected);
}

TEST(PQParamsTest, QuotesOptionsValuesThatCouldSplitOrLoseCharacters) {
    const std::pair<const char*, const char*> cases[] = {
        {"plain", "plain"},
        {"", "''"},
        {"a b", "'a b'"},
        {"it's a b", "'it\\'s a b'"},
        {"it's", "'it\\'s'"},
        {"'quoted'", "'\\'quoted\\''"},
        {"C:\\dir", "'C:\\\\dir'"},
        {"a\tb", "'a\tb'"},
        {"a\nb", "'a\nb'"},
        {"x=\"y\"", "x=\"y\""},
    };
    for (const auto& [value, expected] : cases) EXPECT_EQ(EscapeAndQuoteOptionsValue(value), expected) << value;
}

TEST(PQParamsTest, KnowsTheKeywordTables) {
    const char* keywords[] = {"host", "hostaddr", "port", "dbname", "user", "password", "connect_timeout",
                              "client_encoding", "options", "application_name", "fallback_application_name",
                              "keepalives", "keepalives_idle", "keepalives_interval", "keepalives_count", "tty",
                              "sslmode", "requiressl", "sslcompression", "sslcert", "sslkey", "sslrootcert",
                              "sslcrl", "requirepeer", "krbsrvname", "gsslib", "service", "authtype", "passfile",
                              "replication", "target_session_attrs"};
    for (const char* keyword : keywords) EXPECT_TRUE(isConnectionParameter(keyword)) << keyword;
    for (const char* other : {"endpoint", "Host", "host ", "", "date_style", "DateStyle", "sslpassword"}) {
        EXPECT_FALSE(isConnectionParameter(other)) << other;
    }
    EXPECT_EQ(mapParameterForCompatibility("time_zone"), "TimeZone");
    EXPECT_EQ(mapParameterForCompatibility("timezone"), "timezone");
}

struct SanitizedCase {
    const char* title;
    Entries entries;
    const char* expected;
};

TEST(SanitizedJsonTest, MasksSecretsAndWritesValidJson) {
    const SanitizedCase cases[] = {
        {"empty set", {}, "{\n}\n"},
        {"names that cannot nest", {{"", "v"}, {".a", "1"}, {"b.", "2"}, {"c..d", "3"}},
         "{\n    \".a\": \"1\",\n    \"b.\": \"2\",\n    \"c..d\": \"3\"\n}\n"},
        {"secrets and empty entries",
         {{"password", ""}, {"encryption_key", "secret"}, {"user", "u"}, {"empty", ""}},
         "{\n    \"encryption_key\": \"********\",\n    \"password\": \"********\",\n    \"user\": \"u\"\n}\n"},
        {"nested names", {{"a.b", "1"}, {"a.c", "2"}},
         "{\n    \"a\": {\n        \"b\": \"1\",\n        \"c\": \"2\"\n    }\n}\n"},
        {"quotes and backslashes in names and values",
         {{"q\"\\", "v\"\\/\n"}},
         "{\n    \"q\\\"\\\\\": \"v\\\"\\\\\\/\\n\"\n}\n"},
        {"dbname list with secrets",
         {{"dbname",
           "[{\"path\":\"a\",\"encryption_key\":\"k1\"},{\"path\":\"b\",\"encryption_key\":\"k2\",\"x\":{\"y\":1}}]"}},
         "{\n    \"dbname\": {\n        \"path\": \"a\",\n        \"encryption_key\": \"********\"\n    },\n"
         "    \"dbname\": {\n        \"path\": \"b\",\n        \"encryption_key\": \"********\",\n"
         "        \"x\": \"\"\n    }\n}\n"},
        {"plain dbname", {{"dbname", "/d/x.kelvo"}}, "{\n    \"dbname\": \"\\/d\\/x.kelvo\"\n}\n"},
    };
    for (const SanitizedCase& c : cases) {
        SCOPED_TRACE(c.title);
        EXPECT_EQ(MakeParameters(c.entries).ToSanitizedJson(), c.expected);
    }
}

TEST(SanitizedJsonTest, ReportsFailuresAsAValidJsonObject) {
    const Entries failing[] = {
        {{"dbname", "[x"}},
        {{"a", "1"}, {"a.b", "2"}},
        // Deep enough to exhaust the stack of a recursive reader.
        {{"dbname", std::string(1000000, '[')}},
    };
    for (const Entries& entries : failing) {
        const std::string json = MakeParameters(entries).ToSanitizedJson();
        SCOPED_TRACE(json);
        EXPECT_EQ(json.rfind("{\"Error\":\"Failed to format a sanitized JSON from connection parameters.\","
                             "\"Cause\":\"",
                             0),
                  0u);
        std::istringstream in(json);
        boost::property_tree::ptree parsed;
        ASSERT_NO_THROW(boost::property_tree::read_json(in, parsed));
        EXPECT_FALSE(parsed.get<std::string>("Cause").empty());
    }
    // The translation still sends such a dbname unchanged.
    EXPECT_EQ(Keywords(ConvertToPQParams(MakeParameters({{"dbname", "[x"}}))), (Entries{{"dbname", "[x"}}));
}

TEST(SanitizedJsonTest, QuotesArbitraryTexts) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain", "\"plain\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {std::string("\b\f\n\r\t\x01\x1f", 7), "\"\\b\\f\\n\\r\\t\\u0001\\u001F\""},
        {"\xc3\xa4/", "\"\xc3\xa4/\""},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(QuoteJsonString(text), expected);
}

}  // namespace
}  // namespace kelvoapi
