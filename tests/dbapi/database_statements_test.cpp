// The exact texts of the database and schema statements.
#include "api/database_statements.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

using namespace kelvoapi;

TEST(DatabaseStatementsTest, Texts) {
    struct Case {
        std::string actual;
        const char* expected;
    };
    const Case cases[] = {
        {CreateDatabaseStatement("/d/a.db", true), "CREATE DATABASE \"/d/a.db\";"},
        {CreateDatabaseStatement("/d/a.db", false), "CREATE DATABASE IF NOT EXISTS \"/d/a.db\";"},
        {DropDatabaseStatement("a.db", true), "DROP DATABASE \"a.db\";"},
        {DropDatabaseStatement("a.db", false), "DROP DATABASE IF EXISTS \"a.db\";"},
        {AttachDatabaseStatement("/data/sales.db", std::nullopt), "ATTACH DATABASE \"/data/sales.db\" AS \"sales\";"},
        {AttachDatabaseStatement("/data/sales.db", std::string_view("s")),
         "ATTACH DATABASE \"/data/sales.db\" AS \"s\";"},
        {AttachDatabaseStatement("x.db", std::string_view("")), "ATTACH DATABASE \"x.db\" AS \"\";"},
        {AttachDatabaseStatement("a\"b.db", std::nullopt), "ATTACH DATABASE \"a\"\"b.db\" AS \"a\"\"b\";"},
        {AttachDatabaseStatement("a\nb", std::string_view("c")), "ATTACH DATABASE U&\"a\\000Ab\" AS \"c\";"},
        {DetachDatabaseStatement("sales"), "DETACH DATABASE \"sales\";"},
        {CreateSchemaStatement(std::nullopt, "s", true), "CREATE SCHEMA \"s\";"},
        {CreateSchemaStatement(std::string_view("db"), "s", false), "CREATE SCHEMA IF NOT EXISTS \"db\".\"s\";"},
        {CreateSchemaStatement(std::string_view(""), "s", true), "CREATE SCHEMA \"\".\"s\";"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, c.actual);
    }
}

TEST(DatabaseStatementsTest, FileStems) {
    const std::pair<const char*, const char*> cases[] = {
        {"/x/y/archive.2020.db", "archive.2020"},
        {"/x/.hidden", ".hidden"},
        {"/x/.hidden.db", ".hidden"},
        {"plain", "plain"},
        {"/x/", ""},
        {"/x/..", ".."},
    };
    for (const auto& [path, stem] : cases) {
        EXPECT_EQ(stem, DatabaseFileStem(path)) << path;
    }
}

}  // namespace
