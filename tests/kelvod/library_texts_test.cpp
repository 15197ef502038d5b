// What the library writes for the server to read: endpoint descriptors on its
// command line and the `dbname` list at start-up.
#include <gtest/gtest.h>

#include "kelvod/process/endpoint.h"
#include "kelvod/protocol/startup_options.h"
#include "kelvod/sql/sql_lexer.h"

using namespace kelvod;

TEST(KelvodEndpoint, ParsesAndPrintsDescriptors) {
    struct Case {
        const char* text;
        const char* printed;  // nullptr: refused
    } cases[] = {
        {"pel.tcp://localhost:auto", "pel.tcp://localhost:auto"},
        {"pel.tcp://[::1]:80", "pel.tcp://[::1]:80"},
        {"pel.tcp://:5000", "pel.tcp://:5000"},
        {"pel.pipe://auto", "pel.pipe://./pipe/auto"},
        {"pel.tcp://localhost", nullptr},
        {"pel.tcp://localhost:", nullptr},
        {"pel.tcp://localhost:-1", nullptr},
        {"pel.tcp://localhost:65536", nullptr},
        {"pel.tcp://localhost:0", nullptr},
        {"pel.domain:///tmp/domain/", nullptr},
        {"pel.domain:///tmp/x", nullptr},
        {"PEL.TCP://h:1", nullptr},
        {"pel.pipe:///pipe/x", nullptr},
    };
    for (const auto& c : cases) {
        if (c.printed)
            EXPECT_EQ(ParseEndpoint(c.text).ToString(), c.printed) << c.text;
        else
            EXPECT_THROW(ParseEndpoint(c.text), std::invalid_argument) << c.text;
    }
}

TEST(KelvodStartupOptions, ReadsTheDatabaseList) {
    auto list = ParseDatabaseList("[{\n    \"alias\": \"sales\",\n    \"path\": \"\\/data\\/sales.kelvo\"\n}\n]");
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].alias, "sales");
    EXPECT_EQ(list[0].path, "/data/sales.kelvo");
    auto two = ParseDatabaseList(
        "[{\"path\": \"/a/b.c.kelvo\", \"access_mode\": \"read_only\"}, {\"alias\": \"x\", "
        "\"path\": \"t\\u00e9\\\"q\"}]");
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0].alias, "b.c");
    EXPECT_EQ(two[1].path, "t\xC3\xA9\"q");
    EXPECT_EQ(ParseDatabaseList("[{\"path\": \"\\b\\f\\n\\r\\t\\/\"}]").at(0).path, "\b\f\n\r\t/");
    EXPECT_TRUE(ParseDatabaseList("[]").empty());
    // A character past U+FFFF, escaped as JSON writers escape it: one surrogate pair.
    EXPECT_EQ(ParseDatabaseList("[{\"path\": \"/d/\\ud83d\\ude00.kelvo\"}]").at(0).path, "/d/\xF0\x9F\x98\x80.kelvo");
    for (const char* bad :
         {"[", "[{}]", "[{\"alias\": \"a\"}]", "[{\"path\": \"p\"} x", "{\"path\": \"p\"}",
          "[{\"path\": \"a\\u0000\"}]", "[{\"path\": \"a\\u12zz\"}]", "[{\"path\": \"a\\u+123\"}]",
          "[{\"path\": \"a\\ud83d\"}]", "[{\"path\": \"a\\ude00\"}]", "[{\"path\": \"a\\ud83d\\u0041\"}]"})
        EXPECT_THROW(ParseDatabaseList(bad), SqlError) << bad;
}
