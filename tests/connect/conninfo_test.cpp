// Connection options from strings, URIs, keyword arrays, the service file and
// the environment, and the option arrays handed back to callers.
#include "postgres/libpq/conninfo.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

#include "support/postgres_cluster.h"
#include "support/scoped_temp_directory.h"

namespace {

using Settings = std::map<std::string, std::string>;

Settings ValuesOf(const PQconninfoOption* options) {
    Settings values;
    for (const PQconninfoOption* option = options; option->keyword != nullptr; ++option) {
        if (option->val != nullptr)
            values[option->keyword] = option->val;
    }
    return values;
}

// Parses text; the settings, or "error: " and the message.
Settings Parse(const std::string& text) {
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(text.c_str(), &error);
    if (options == nullptr) {
        Settings failure{{"error", error != nullptr ? error : "(none)"}};
        free(error);
        return failure;
    }
    EXPECT_EQ(error, nullptr);
    Settings values = ValuesOf(options);
    PQconninfoFree(options);
    return values;
}

class ConninfoTest : public ::testing::Test {
protected:
    void SetUp() override { kelvotest::ScrubPgEnvironment(); }
    void TearDown() override { kelvotest::ScrubPgEnvironment(); }
};

TEST_F(ConninfoTest, KeywordValueStrings) {
    const std::string missing =
        "<sqlstate>22023</sqlstate><primary>The connection info string is missing an \"=\" after \"host\".</primary>";
    const std::string unterminated =
        "<sqlstate>22023</sqlstate><primary>The connection info string contains an unterminated quoted "
        "string.</primary>";
    const std::pair<const char*, Settings> cases[] = {
        {"host = a\tport =\n5 ", {{"host", "a"}, {"port", "5"}}},
        {"password='it\\'s' user=a\\ b", {{"password", "it's"}, {"user", "a b"}}},
        {"host=a host=b", {{"host", "b"}}},
        {"requiressl=1", {{"sslmode", "require"}}},
        {"requiressl=0", {{"sslmode", "prefer"}}},
        {"a<b>&=1",
         {{"error",
           "<sqlstate>22023</sqlstate><primary>The connection option \"a&lt;b>&amp;\" is invalid.</primary>"}}},
        {"host", {{"error", missing}}},
        // A keyword cannot end the tag it is quoted in.
        {"x</primary>",
         {{"error",
           "<sqlstate>22023</sqlstate><primary>The connection info string is missing an "
           "\"=\" after \"x&lt;/primary>\".</primary>"}}},
        {"user='abc\\'", {{"error", unterminated}}},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(Parse(text), expected);
    }
}

TEST_F(ConninfoTest, Uris) {
    const std::pair<const char*, Settings> cases[] = {
        {"postgresql://", {}},
        {"postgresql://:p@h", {{"password", "p"}, {"host", "h"}}},
        {"postgresql://a:1,b,c:3/db", {{"host", "a,b,c"}, {"port", "1,,3"}, {"dbname", "db"}}},
        {"postgresql://[::1],[fe80::1]", {{"host", "::1,fe80::1"}, {"port", ","}}},
        {"postgresql://%2Ftmp%2Fsock/d%20b", {{"host", "/tmp/sock"}, {"dbname", "d b"}}},
        {"postgresql://h/?application_name=a%26b&port=1", {{"host", "h"}, {"application_name", "a&b"}, {"port", "1"}}},
        {"postgresql://h?ssl=true", {{"host", "h"}, {"sslmode", "require"}}},
        {"postgresql://h?application_name=x@y", {{"host", "h"}, {"application_name", "x@y"}}},
        {"postgresql://[::1",
         {{"error",
           "end of string reached when looking for matching \"]\" in IPv6 host address in URI: "
           "\"postgresql://[::1\""}}},
        {"postgresql://[]/d", {{"error", "The URI \"postgresql://[]/d\" contains an empty IPv6 host address."}}},
        {"postgresql://[::1]x",
         {{"error",
           "unexpected character \"x\" at position 19 in URI (expected \":\" or \"/\"): \"postgresql://[::1]x\""}}},
        {"postgresql://h?a=b=c", {{"error", "extra key/value separator \"=\" in URI query parameter: \"a=b=c\""}}},
        {"postgresql://h?port", {{"error", "missing key/value separator \"=\" in URI query parameter: \"port\""}}},
        {"postgresql://h?ssl=false", {{"error", "invalid URI query parameter: \"ssl\""}}},
        {"postgresql://h/d%00x", {{"error", "forbidden value %00 in percent-encoded value: \"d%00x\""}}},
        {"postgresql://h/d%zz", {{"error", "invalid percent-encoded token: \"d%zz\""}}},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(Parse(text), expected);
    }
}

TEST_F(ConninfoTest, KeywordArrays) {
    struct Case {
        std::vector<const char*> keywords;
        std::vector<const char*> values;
        int expand;
        Settings expected;
    };
    const Case cases[] = {
        {{"requiressl"},
         {"1"},
         0,
         {{"error", "<sqlstate>22023</sqlstate><primary>The connection option \"requiressl\" is invalid.</primary>"}}},
        // Without expansion a dbname with '=' or a URI is just a name.
        {{"dbname"}, {"host=a port=1"}, 0, {{"dbname", "host=a port=1"}}},
        // With expansion its settings stand at its place: later entries win.
        {{"port", "dbname", "user"},
         {"9", "host=a port=1 user=u dbname=d", "v"},
         1,
         {{"host", "a"}, {"port", "1"}, {"user", "v"}, {"dbname", "d"}}},
        {{"dbname", "port"}, {"postgresql://h:2/x", "3"}, 1, {{"host", "h"}, {"port", "3"}, {"dbname", "x"}}},
        {{"dbname", "dbname"}, {"plain", "host=a"}, 1, {{"dbname", "host=a"}}},
        {{"dbname"},
         {"host='x"},
         1,
         {{"error",
           "<sqlstate>22023</sqlstate><primary>The connection info string contains an unterminated quoted "
           "string.</primary>"}}},
    };
    for (const auto& c : cases) {
        std::vector<const char*> keywords = c.keywords, values = c.values;
        keywords.push_back(nullptr);
        values.push_back(nullptr);
        SCOPED_TRACE(std::string(keywords[0]) + " expand=" + std::to_string(c.expand));
        std::string error;
        ConninfoOptions options = pqConninfoParseArrays(keywords.data(), values.data(), c.expand, error);
        Settings actual = options ? ValuesOf(options.get()) : Settings{{"error", error}};
        EXPECT_EQ(actual, c.expected);
    }

    // No arrays at all is no setting at all.
    std::string error;
    ConninfoOptions none = pqConninfoParseArrays(nullptr, nullptr, 1, error);
    ASSERT_TRUE(none);
    EXPECT_EQ(ValuesOf(none.get()), Settings{});
}

class ServiceFileTest : public ConninfoTest {
protected:
    std::string Write(const std::string& name, const std::string& text) { return m_scratch.WriteFile(name, text); }
    // Defaults for the given explicit settings; the settings or the error.
    Settings Resolve(const std::vector<std::pair<const char*, const char*>>& explicit_settings) {
        ConninfoOptions options = pqConninfoInit();
        std::string error;
        for (const auto& [keyword, value] : explicit_settings)
            EXPECT_TRUE(pqConninfoStore(options.get(), keyword, value, error));
        if (!pqConninfoAddDefaults(options.get(), &error))
            return {{"error", error}};
        return ValuesOf(options.get());
    }
    kelvotest::ScopedTempDirectory m_scratch;
    const std::string m_dir = m_scratch.Path();
};

TEST_F(ServiceFileTest, ExplicitBeatsServiceBeatsEnvironmentBeatsCompiled) {
    std::string path = Write("services",
                             "# comment\n"
                             "\n"
                             "[other]\n"
                             "host=wrong\n"
                             "  [main]\n"
                             "  host=from-service\n"
                             "port=6001\r\n"
                             "dbname=svcdb\n"
                             "[later]\n"
                             "bogus line ignored after the section\n");
    setenv("PGSERVICEFILE", path.c_str(), 1);
    setenv("PGPORT", "7001", 1);
    setenv("PGDATABASE", "envdb", 1);
    setenv("PGAPPNAME", "envapp", 1);
    Settings values = Resolve({{"service", "main"}, {"dbname", "explicit"}});
    EXPECT_EQ(values["host"], "from-service");
    EXPECT_EQ(values["port"], "6001");
    EXPECT_EQ(values["dbname"], "explicit");
    EXPECT_EQ(values["application_name"], "envapp");
    EXPECT_EQ(values["sslmode"], "disable");

    setenv("PGSERVICE", "main", 1);  // the service may come from the environment too
    setenv("PGREQUIRESSL", "1", 1);
    values = Resolve({});
    EXPECT_EQ(values["host"], "from-service");
    EXPECT_EQ(values["sslmode"], "require");

    // The system's file is read after the user's.
    Write("pg_service.conf", "[b]\nport=2\n[main]\nport=3\n");
    setenv("PGSYSCONFDIR", m_dir.c_str(), 1);
    EXPECT_EQ(Resolve({{"service", "main"}})["port"], "6001");
    EXPECT_EQ(Resolve({{"service", "b"}})["port"], "2");
}

TEST_F(ServiceFileTest, ServiceFileFailures) {
    const std::string long_line = "host=" + std::string(249, 'h') + "\n";  // 255 with its newline
    const std::string fitting_line = "host=" + std::string(248, 'h') + "\n";
    struct Case {
        const char* name;
        std::string text;
        const char* service;
        std::string expected_error;  // empty: succeeds
    };
    const Case cases[] = {
        {"missing", "", "x", ""},
        {"prefix-name", "[ab]\nhost=x\n", "a", "The definition of service \"a\" was not found."},
        {"no-equals", "[a]\nhost x\n", "a", "syntax error in service file \"%s\", line 2"},
        {"nested", "[a]\nservice=b\n", "a",
         "nested service specifications not supported in service file \"%s\", line 2"},
        {"too-long", "[a]\n" + long_line, "a", "Line 2 is too long in service file \"%s\"."},
        {"fits", "[a]\n" + fitting_line, "a", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = std::string(c.name) == "missing" ? m_dir + "/does-not-exist" : Write(c.name, c.text);
        setenv("PGSERVICEFILE", path.c_str(), 1);
        Settings values = Resolve({{"service", c.service}});
        std::string expected = c.expected_error;
        if (std::string(c.name) == "missing")
            expected = "The service file \"" + path + "\" was not found.";
        size_t at = expected.find("%s");
        if (at != std::string::npos)
            expected.replace(at, 2, path);
        EXPECT_EQ(values.count("error") ? values["error"] : "", expected);
        // PQconndefaults goes on regardless.
        PQconninfoOption* defaults = PQconndefaults();
        ASSERT_NE(defaults, nullptr);
        PQconninfoFree(defaults);
    }
}

}  // namespace
