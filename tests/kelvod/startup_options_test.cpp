// The `dbname` list as the library writes it.
#include <gtest/gtest.h>

#include "kelvod/protocol/startup_options.h"
#include "kelvod/sql/sql_lexer.h"

using namespace kelvod;

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
