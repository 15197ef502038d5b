// Connection options from strings, URIs, keyword arrays, the service file and
// the environment, the option arrays handed back to callers, and passwords
// from the password file: matching, wildcards, escapes, the file's
// permissions and overlong lines.
#include "postgres/libpq/conninfo.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <map>
#include <string>
#include <tuple>

#include "postgres/libpq/password_file.h"
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

// A failure as Parse reports it; the client's own texts tagged with 22023.
Settings Failure(const std::string& text) { return {{"error", text}}; }
Settings Invalid(const std::string& primary) {
    return Failure("<sqlstate>22023</sqlstate><primary>" + primary + "</primary>");
}

// Parses text; the settings, or "error: " and the message.
Settings Parse(const std::string& text) {
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(text.c_str(), &error);
    if (options == nullptr) {
        const Settings failure = Failure(error != nullptr ? error : "(none)");
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

TEST_F(ConninfoTest, KeywordValueStringsAndUris) {
    const std::pair<const char*, Settings> cases[] = {
        {"host = a\tport =\n5 ", {{"host", "a"}, {"port", "5"}}},
        {"password='it\\'s' user=a\\ b", {{"password", "it's"}, {"user", "a b"}}},
        {"host=a host=b", {{"host", "b"}}},
        {"requiressl=1", {{"sslmode", "require"}}},
        {"requiressl=0", {{"sslmode", "prefer"}}},
        {"a<b>&=1", Invalid("The connection option \"a&lt;b>&amp;\" is invalid.")},
        {"host", Invalid("The connection info string is missing an \"=\" after \"host\".")},
        // A keyword cannot end the tag it is quoted in.
        {"x</primary>", Invalid("The connection info string is missing an \"=\" after \"x&lt;/primary>\".")},
        {"user='abc\\'", Invalid("The connection info string contains an unterminated quoted string.")},
        {"postgresql://", {}},
        {"postgresql://:p@h", {{"password", "p"}, {"host", "h"}}},
        {"postgresql://a:1,b,c:3/db", {{"host", "a,b,c"}, {"port", "1,,3"}, {"dbname", "db"}}},
        {"postgresql://[::1],[fe80::1]", {{"host", "::1,fe80::1"}, {"port", ","}}},
        {"postgresql://%2Ftmp%2Fsock/d%20b", {{"host", "/tmp/sock"}, {"dbname", "d b"}}},
        {"postgresql://h/?application_name=a%26b&port=1", {{"host", "h"}, {"application_name", "a&b"}, {"port", "1"}}},
        {"postgresql://h?ssl=true", {{"host", "h"}, {"sslmode", "require"}}},
        {"postgresql://h?application_name=x@y", {{"host", "h"}, {"application_name", "x@y"}}},
        {"postgresql://[::1",
         Failure("end of string reached when looking for matching \"]\" in IPv6 host address in URI: "
                 "\"postgresql://[::1\"")},
        {"postgresql://[]/d", Failure("The URI \"postgresql://[]/d\" contains an empty IPv6 host address.")},
        {"postgresql://[::1]x",
         Failure(
             "unexpected character \"x\" at position 19 in URI (expected \":\" or \"/\"): \"postgresql://[::1]x\"")},
        {"postgresql://h?a=b=c", Failure("extra key/value separator \"=\" in URI query parameter: \"a=b=c\"")},
        {"postgresql://h?port", Failure("missing key/value separator \"=\" in URI query parameter: \"port\"")},
        {"postgresql://h?ssl=false", Failure("invalid URI query parameter: \"ssl\"")},
        {"postgresql://h/d%00x", Failure("forbidden value %00 in percent-encoded value: \"d%00x\"")},
        {"postgresql://h/d%zz", Failure("invalid percent-encoded token: \"d%zz\"")},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(Parse(text), expected) << text;
}

TEST_F(ConninfoTest, KeywordArrays) {
    const std::tuple<std::vector<const char*>, std::vector<const char*>, int, Settings> cases[] = {
        {{"requiressl"}, {"1"}, 0, Invalid("The connection option \"requiressl\" is invalid.")},
        // Without expansion a dbname with '=' or a URI is just a name.
        {{"dbname"}, {"host=a port=1"}, 0, {{"dbname", "host=a port=1"}}},
        // With expansion its settings stand at its place: later entries win.
        {{"port", "dbname", "user"},
         {"9", "host=a port=1 user=u dbname=d", "v"},
         1,
         {{"host", "a"}, {"port", "1"}, {"user", "v"}, {"dbname", "d"}}},
        {{"dbname", "port"}, {"postgresql://h:2/x", "3"}, 1, {{"host", "h"}, {"port", "3"}, {"dbname", "x"}}},
        {{"dbname", "dbname"}, {"plain", "host=a"}, 1, {{"dbname", "host=a"}}},
        {{"dbname"}, {"host='x"}, 1, Invalid("The connection info string contains an unterminated quoted string.")},
    };
    for (const auto& [givenKeywords, givenValues, expand, expected] : cases) {
        std::vector<const char*> keywords = givenKeywords, values = givenValues;
        keywords.push_back(nullptr);
        values.push_back(nullptr);
        SCOPED_TRACE(std::string(keywords[0]) + " expand=" + std::to_string(expand));
        std::string error;
        ConninfoOptions options = pqConninfoParseArrays(keywords.data(), values.data(), expand, error);
        EXPECT_EQ(options ? ValuesOf(options.get()) : Failure(error), expected);
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
    // No text: no file. An empty expected error: the service is found. "%s" is the file's path.
    const std::tuple<const char*, std::string, const char*, std::string> cases[] = {
        {"missing", "", "x", "The service file \"%s\" was not found."},
        {"prefix-name", "[ab]\nhost=x\n", "a", "The definition of service \"a\" was not found."},
        {"no-equals", "[a]\nhost x\n", "a", "syntax error in service file \"%s\", line 2"},
        {"nested", "[a]\nservice=b\n", "a",
         "nested service specifications not supported in service file \"%s\", line 2"},
        {"too-long", "[a]\n" + long_line, "a", "Line 2 is too long in service file \"%s\"."},
        {"fits", "[a]\n" + fitting_line, "a", ""},
    };
    for (const auto& [name, text, service, expected_error] : cases) {
        SCOPED_TRACE(name);
        const std::string path = text.empty() ? m_dir + "/does-not-exist" : Write(name, text);
        setenv("PGSERVICEFILE", path.c_str(), 1);
        Settings values = Resolve({{"service", service}});
        std::string expected = expected_error;
        const size_t at = expected.find("%s");
        if (at != std::string::npos)
            expected.replace(at, 2, path);
        EXPECT_EQ(values.count("error") ? values["error"] : "", expected);
        // PQconndefaults goes on regardless.
        PQconninfoOption* defaults = PQconndefaults();
        ASSERT_NE(defaults, nullptr);
        PQconninfoFree(defaults);
    }
}

std::string Lookup(const char* host, const char* port, const char* db, const char* user, const std::string& path) {
    char* password = pqPasswordFromFile(host, port, db, user, path.c_str());
    std::string result = password != nullptr ? password : "(none)";
    free(password);
    return result;
}

TEST(PasswordFile, FirstMatchingLineGivesThePassword) {
    kelvotest::ScopedTempDirectory dir;
    const std::string path = dir.WriteFile("pgpass",
                                           "\n"
                                           "db.example:5432:sales:alice:first\n"
                                           "db.example:5432:sales:alice:second\n"
                                           "db.example:*:*:bob:wild\n"
                                           "*:*:*:carol:any\\:thing:ignored\n"
                                           "esc\\:host:5432:d\\\\b:dave:p\\\\w\n"
                                           "localhost:5432:local:erin:sock\r\n"
                                           "*:6000:*:\\*:star-user\n"
                                           "short:line\n"
                                           "h:5432:d:frank:\n");
    const std::array<const char*, 5> cases[] = {
        {"db.example", "5432", "sales", "alice", "first"},
        {"db.example", "", "sales", "alice", "first"},  // empty port means 5432
        {"db.example", "5433", "sales", "alice", "(none)"},
        {"other", "1", "x", "carol", "any:thing"},  // password ends at an unescaped ':'
        {"esc:host", "5432", "d\\b", "dave", "p\\w"},
        {"", "5432", "local", "erin", "sock"},      // no host: localhost
        {"/tmp", "5432", "local", "erin", "sock"},  // default socket directory: localhost
        {"h", "6000", "d", "*", "star-user"},       // an escaped '*' is a literal star
    };
    for (const auto& [host, port, db, user, expected] : cases)
        EXPECT_EQ(Lookup(host, port, db, user, path), expected) << host << ":" << port << ":" << db << ":" << user;

    // An overlong line is skipped whole: the tail past the reader's limit
    // would itself be a matching line. Also when it is the last one and has
    // no newline.
    const std::string tail = "h:5432:d:u:stolen";
    const std::string longest = "h:5432:d:v:" + std::string(319 - 11, 'q');
    const std::string overlong = dir.WriteFile(
        "overlong", "x:1:y:z:" + std::string(319 - 8, 'p') + tail + "\n" + longest + "\nh:5432:d:u:right\n");
    EXPECT_EQ(Lookup("h", "5432", "d", "u", overlong), "right");
    EXPECT_EQ(Lookup("h", "5432", "d", "v", overlong), std::string(319 - 11, 'q'));
    const std::string last = dir.WriteFile("last", "h:5432:d:w:ok\n" + std::string(400, 'p') + tail);
    EXPECT_EQ(Lookup("h", "5432", "d", "u", last), "(none)");
    EXPECT_EQ(Lookup("h", "5432", "d", "w", last), "ok");
}

TEST(PasswordFile, FilesOthersMayUseAreIgnoredWithAWarning) {
    kelvotest::ScopedTempDirectory dir;
    const std::string open = dir.WriteFile("open", "h:5432:d:u:secret\n", 0640);
    const std::tuple<std::string, const char*, std::string> cases[] = {
        {dir.WriteFile("private", "h:5432:d:u:secret\n", 0600), "secret", ""},
        {open, "(none)",
         "WARNING: The password file \"" + open +
             "\" has group or world access. The permissions should be u=rw (0600) or less.\n"},
        {dir.Path(), "(none)", "WARNING: The password file \"" + dir.Path() + "\" is not a plain file.\n"},
        {dir.Path() + "/missing", "(none)", ""},
    };
    for (const auto& [path, password, warning] : cases) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(Lookup("h", "5432", "d", "u", path), password) << path;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), warning);
    }
}

}  // namespace
