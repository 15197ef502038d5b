// The engine seen from the server: its error texts as ErrorResponse fields,
// its version, a client's RESET of memory_limit giving the engine its default
// limit back (not only the name of it), and a load's feed read by its own
// session's statement only.
#include <gtest/gtest.h>

#include "kelvod/engine/attachments.h"
#include "kelvod/engine/engine_errors.h"
#include "kelvod/engine/engine_version.h"
#include "kelvod/loading/load_feed.h"
#include "kelvod/loading/row_piece_queue.h"
#include "kelvod/sql/catalog.h"
#include "kelvod/sql/memory_limit_setting.h"

using namespace kelvod;

TEST(KelvodEngineErrors, SplitsTheEngineTextIntoMessageHintAndDetail) {
    ErrorFields e = EngineErrorFields(
        "Catalog Error: Table with name nope does not exist!\nDid you mean \"pg_enum\"?\n\nLINE 1: SELECT * FROM nope\n"
        "                      ^");
    EXPECT_EQ(e.sqlstate, "42P01");
    EXPECT_EQ(e.message, "Table with name nope does not exist!");
    EXPECT_EQ(e.hint, "Did you mean \"pg_enum\"?");
    EXPECT_EQ(e.detail, "");
    ErrorFields b =
        EngineErrorFields("Binder Error: No function matches 'f(INTEGER)'.\n\tCandidate functions:\n\tf(VARCHAR)\n");
    EXPECT_EQ(b.message, "No function matches 'f(INTEGER)'.");
    EXPECT_EQ(b.detail, "\tCandidate functions:\n\tf(VARCHAR)");
    struct {
        const char* text;
        const char* sqlstate;
    } states[] = {
        {"TransactionContext Error: Conflict on update!", "40001"},
        {"TransactionContext Error: Catalog write-write conflict on alter with \"t\"", "40001"},
        {"TransactionContext Error: Current transaction is aborted (please ROLLBACK)", "25P02"},
        {"IO Error: Could not write file \"/d/x.kelvo.wal\": No space left on device", "53100"},
        {"FATAL Error: Failed to commit: Could not write file \"x\": No space left on device", "53100"},
        {"Invalid Input Error: Prepared statement \"p\" does not exist", "26000"},
        {"Catalog Error: unrecognized configuration parameter \"nosuch\"", "42704"},
        {"Conversion Error: Could not cast value 1e30 to DECIMAL(38,10)", "22003"},
        {"Out of Memory Error: could not allocate block of size 24.0 MiB (70.1 MiB/76.2 MiB used)", "53200"},
        {"TransactionContext Error: Failed to commit: failed to pin block of size 256.0 KiB", "53200"},
        {"TransactionContext Error: Failed to commit: PRIMARY KEY or UNIQUE constraint violation: duplicate key",
         "23505"},
        {R"({"exception_type":"Out of Memory","exception_message":"failed to pin block \"x\"\u0021"})", "53200"},
    };
    for (const auto& c : states)
        EXPECT_EQ(EngineErrorFields(c.text).sqlstate, c.sqlstate) << c.text;
    EXPECT_EQ(EngineErrorFields(states[std::size(states) - 1].text).message, "failed to pin block \"x\"!");
    ErrorFields plain = EngineErrorFields("something odd");
    EXPECT_EQ(plain.sqlstate, "XX000");
    EXPECT_EQ(plain.message, "something odd");
}

TEST(KelvodEngineErrors, RefusesEnginesOlderThanOneFive) {
    for (const char* ok : {"v1.5.6", "1.5.0-dev12", "v2.0.0", "v1.10.1"})
        EXPECT_TRUE(EngineVersionSupported(ok)) << ok;
    for (const char* old : {"v1.4.4", "v0.10.3", "", "v", "1", "banana"})
        EXPECT_FALSE(EngineVersionSupported(old)) << old;
}

TEST(KelvodEngineErrors, NamesTheDatabaseThatAFailedCheckpointInvalidated) {
    EXPECT_EQ(InvalidatedDatabase("Failed to commit: Checkpoint failed for database \"g\". The database has been "
                                  "invalidated. Original error: Could not write file"),
              "g");
    EXPECT_EQ(InvalidatedDatabase("Database \"My Db\" has been invalidated because checkpointing failed. Detach and "
                                  "reattach it before using it again."),
              "My Db");
    EXPECT_EQ(InvalidatedDatabase("Catalog \"g\" does not exist!"), "");
}

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

TEST(KelvodLoadFeed, OnlyTheLoadingConnectionCanNameReadOrDrainItsFeed) {
    duckdb_database engine = nullptr;
    ASSERT_EQ(duckdb_open(nullptr, &engine), DuckDBSuccess);
    duckdb_connection loading = nullptr, other = nullptr;
    ASSERT_EQ(duckdb_connect(engine, &loading), DuckDBSuccess);
    ASSERT_EQ(duckdb_connect(engine, &other), DuckDBSuccess);
    RegisterLoadFeedFunction(loading);
    RowPieceQueue queue(1 << 20);
    RowPiece piece;
    piece.bytes = std::string("\x2a\0\0\0\0\0\0\0", 8);  // one BIGINT cell, NOT NULL
    piece.rows = 1;
    ASSERT_TRUE(queue.Push(std::move(piece)));
    queue.Close();
    const std::vector<CopyColumn> columns{{"a", DUCKDB_TYPE_BIGINT, 0, 0, false}};
    std::string sql;
    {
        LoadFeedRegistration registration(std::make_shared<LoadFeed>(columns, queue, false), loading);
        sql = "SELECT sum(a)::VARCHAR FROM " + registration.Call();
        try {
            QueryText(other, sql);
            ADD_FAILURE() << "another connection read the feed";
        } catch (const SqlError& e) {
            EXPECT_NE(std::string(e.what()).find("There is no such load."), std::string::npos) << e.what();
        }
        EXPECT_EQ(QueryText(loading, sql).at(0).at(0).value_or(""), "42");
    }
    EXPECT_THROW(QueryText(loading, sql), SqlError);
    duckdb_disconnect(&other);
    duckdb_disconnect(&loading);
    duckdb_close(&engine);
}
