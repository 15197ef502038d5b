// A client's RESET of memory_limit gives the engine its default limit back,
// not only the name of it.
#include <gtest/gtest.h>

#include "kelvod/engine/attachments.h"
#include "kelvod/sql/catalog.h"
#include "kelvod/sql/memory_limit_setting.h"

using namespace kelvod;

TEST(KelvodMemoryLimit, AResetLetsQueriesUseTheDefaultLimitAgain) {
    duckdb_database engine = nullptr;
    ASSERT_EQ(duckdb_open(nullptr, &engine), DuckDBSuccess);
    duckdb_connection c = nullptr;
    ASSERT_EQ(duckdb_connect(engine, &c), DuckDBSuccess);
    auto shown = [&] { return QueryText(c, "SELECT current_setting('memory_limit')::VARCHAR").at(0).at(0); };
    const auto byDefault = shown();
    NoteDefaultMemoryLimit(c);
    // Without a place to spill, this needs more than 256MB.
    RunEngine(c, "SET temp_directory = ''");
    const std::string large = "SELECT count(DISTINCT md5(range::VARCHAR)) FROM range(6000000)";
    for (const char* reset : {"RESET memory_limit", "SET GLOBAL memory_limit TO DEFAULT"}) {
        RunEngine(c, "SET GLOBAL memory_limit = '256MB'");
        EXPECT_THROW(QueryText(c, large), SqlError);
        EXPECT_TRUE(ResetMemoryLimit(c, SplitStatements(reset).front())) << reset;
        EXPECT_EQ(shown(), byDefault) << reset;
        EXPECT_NO_THROW(QueryText(c, large)) << reset;
    }
    EXPECT_FALSE(ResetMemoryLimit(c, SplitStatements("RESET search_path").front()));
    duckdb_disconnect(&c);
    duckdb_close(&engine);
}
