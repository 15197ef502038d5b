// Database statement texts and the names taken from database paths.
#include "api/database_statements.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

using namespace kelvoapi;

// A control character in a path goes escaped, never raw, into the statement.
TEST(DatabaseStatementsTest, AttachEscapesControlCharacters) {
    EXPECT_EQ("ATTACH DATABASE U&\"a\\000Ab\" AS \"c\";", AttachDatabaseStatement("a\nb", std::string_view("c")));
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
