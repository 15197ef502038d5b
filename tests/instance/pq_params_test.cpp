// Connection parameters translated for the wire-protocol client, and their sanitized JSON.
#include "instance/pq_params.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "error/error.h"
#include "instance/json_string.h"
#include "support/thrown_error.h"

namespace kelvoapi {
namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

Parameters MakeParameters(const Entries& entries) {
    Parameters parameters;
    for (const auto& [name, value] : entries)
        parameters.Set(name, value);
    return parameters;
}

// The arrays as the wire-protocol client reads them: up to the null keyword.
Entries Keywords(const PQParams& params) {
    Entries out;
    const char* const* keywords = params.GetKeywords();
    const char* const* values = params.GetValues();
    for (; *keywords != nullptr; ++keywords, ++values)
        out.emplace_back(*keywords, *values);
    EXPECT_EQ(*values, nullptr);
    return out;
}

std::string DbnameJson(const std::string& alias, const std::string& path, const std::string& more = "") {
    return "[{\n    \"alias\": \"" + alias + "\",\n    \"path\": \"" + path + "\"" + more + "\n}\n]";
}

TEST(PQParamsTest, TranslatesParameterSets) {
    const std::tuple<const char*, Entries, Entries> cases[] = {
        {"connection defaults with a TCP endpoint",
         {{"dbname", "[]"},
          {"user", "pellory_internal_user"},
          {"result_format_code", "KelvoBinary"},
          {"requested_protocol_version", "1"},
          {"extra_float_digits", "2"},
          {"two_digit_year_threshold", "40"},
          {"allow_redirects", "true"},
          {"endpoint", "pel.tcp://localhost:7483"}},
         {{"dbname", "[]"},
          {"host", "localhost"},
          {"port", "7483"},
          {"user", "pellory_internal_user"},
          {"options",
           "allow_redirects=true extra_float_digits=2 requestedProtocolVersion=1 "
           "result_format_code=KelvoBinary TwoDigitYearThreshold=40"}}},
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
        {"dbname empty", {{"dbname", ""}}, {{"dbname", "[]"}}},
        {"dbname :main", {{"dbname", ":main"}}, {{"dbname", ":main"}}},
        {"dbname plain path",
         {{"dbname", "/data/sales.kelvo"}},
         {{"dbname", DbnameJson("sales", "\\/data\\/sales.kelvo")}}},
        {"dbname with key and mode",
         {{"dbname", "a.b.c\n"}, {"encryption_key", "k\"ey"}, {"access_mode", "read_only"}},
         {{"dbname", DbnameJson("a.b", "a.b.c\\n",
                                ",\n    \"encryption_key\": \"k\\\"ey\",\n    \"access_mode\": \"read_only\"")}}},
        {"dbname with empty key and mode",
         {{"dbname", ".hidden"}, {"encryption_key", ""}, {"access_mode", ""}},
         {{"dbname", DbnameJson(".hidden", ".hidden")}, {"options", "access_mode='' encryption_key=''"}}}};
    for (const auto& [title, entries, expected] : cases)
        EXPECT_EQ(Keywords(ConvertToPQParams(MakeParameters(entries))), expected) << title;
}

TEST(PQParamsTest, RefusesConflictingAndUnsafeParameters) {
    const std::string conflict =
        "22023 0x1d449d7 The `options` parameter may not be combined with other parameters that represent options. ";
    const auto badName = [](const std::string& name) {
        return "22023 0xb7e0a5d Invalid parameter name: \"" + name +
               "\", a parameter sent as an option must be non-empty and may contain neither white space nor '='.";
    };
    const std::pair<Entries, std::string> cases[] = {
        {{{"dbname", "[]"}, {"encryption_key", "s3cret"}, {"a", "1"}, {"options", "x"}},
         conflict + "a=1 encryption_key=********"},
        {{{"options", "x"}, {"time_zone", "UTC"}},
         "22023 0xaf779d7 The `options` parameter may not be combined with other parameters that represent options. "
         "TimeZone"},
        {{{"endpoint", "pel.tcp://h:1"}, {"host", "x"}},
         "22023 0x1d799d7 Conflicting parameters: 'endpoint' and 'host' may not be specified at the same time!"},
        {{{"a\nb", "1"}}, badName("a\nb")},
        {{{"a=b", "1"}}, badName("a=b")},
        {{{"", "1"}}, badName("")}};
    for (const auto& [entries, error] : cases)
        EXPECT_EQ(kelvotest::Thrown([&, &entries = entries] { ConvertToPQParams(MakeParameters(entries)); }), error);
}

TEST(SanitizedJsonTest, MasksSecretsAndWritesValidJson) {
    const std::pair<Entries, const char*> cases[] = {
        {{{"", "v"}, {".a", "1"}, {"c..d", "3"}}, "{\n    \"\": \"v\",\n    \".a\": \"1\",\n    \"c..d\": \"3\"\n}\n"},
        {{{"", "v"}}, "{\n    \"\": \"v\"\n}\n"},
        {{{"password", ""}, {"encryption_key", "secret"}, {"user", "u"}, {"empty", ""}},
         "{\n    \"encryption_key\": \"********\",\n    \"password\": \"********\",\n    \"user\": \"u\"\n}\n"},
        {{{"a.b", "1"}, {"a.c", "2"}}, "{\n    \"a\": {\n        \"b\": \"1\",\n        \"c\": \"2\"\n    }\n}\n"},
        {{{"q\"\\", "v\"\\/\n"}}, "{\n    \"q\\\"\\\\\": \"v\\\"\\\\\\/\\n\"\n}\n"},
        {{{"dbname", "[{\"path\":\"a\",\"encryption_key\":\"k1\"},{\"x\":{\"y\":1}}]"}},
         "{\n    \"dbname\": {\n        \"path\": \"a\",\n        \"encryption_key\": \"********\"\n    },\n"
         "    \"dbname\": {\n        \"x\": \"\"\n    }\n}\n"}};
    for (const auto& [entries, expected] : cases)
        EXPECT_EQ(MakeParameters(entries).ToSanitizedJson(), expected);
    EXPECT_EQ(QuoteJsonString(std::string("a\"b\\c\b\x01\x1f", 8)), "\"a\\\"b\\\\c\\b\\u0001\\u001F\"");
}

TEST(SanitizedJsonTest, ReportsFailuresAsAValidJsonObject) {
    // The last is deep enough to exhaust the stack of a recursive reader.
    const Entries failing[] = {{{"dbname", "[x"}}, {{"a", "1"}, {"a.b", "2"}}, {{"dbname", std::string(1000000, '[')}}};
    for (const Entries& entries : failing) {
        const std::string json = MakeParameters(entries).ToSanitizedJson();
        SCOPED_TRACE(json.substr(0, 200));
        EXPECT_EQ(
            json.rfind("{\"Error\":\"Failed to format a sanitized JSON from connection parameters.\",\"Cause\":\"", 0),
            0u);
        std::istringstream in(json);
        boost::property_tree::ptree parsed;
        ASSERT_NO_THROW(boost::property_tree::read_json(in, parsed));
        EXPECT_FALSE(parsed.get<std::string>("Cause").empty());
    }
}

}  // namespace
}  // namespace kelvoapi
