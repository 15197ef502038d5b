// The engine seen from the server: its error texts as ErrorResponse fields, its version, a client's RESET of
// memory_limit giving the engine its default limit back (not only the name of it), and a load's feed read by its own
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

namespace {

// An engine in memory and a connection to it.
class KelvodEngine : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(duckdb_open(nullptr, &engine), DuckDBSuccess);
        ASSERT_EQ(duckdb_connect(engine, &c), DuckDBSuccess);
    }
    void TearDown() override {
        duckdb_disconnect(&c);
        duckdb_close(&engine);
    }
    duckdb_database engine = nullptr;
    duckdb_connection c = nullptr;
};

}  // namespace

TEST(KelvodEngineErrors, SplitsTheEngineTextIntoMessageHintAndDetail) {
    ErrorFields e = EngineErrorFields(
        DUCKDB_ERROR_CATALOG,
        "Catalog Error: Table with name nope does not exist!\nDid you mean \"pg_enum\"?\n\nLINE 1: SELECT * FROM nope\n"
        "                      ^");
    EXPECT_EQ(e.sqlstate, "42P01");
    EXPECT_EQ(e.message, "Table with name nope does not exist!");
    EXPECT_EQ(e.hint, "Did you mean \"pg_enum\"?");
    EXPECT_EQ(e.detail, "");
    ErrorFields b = EngineErrorFields(
        DUCKDB_ERROR_BINDER, "Binder Error: No function matches 'f(INTEGER)'.\n\tCandidate functions:\n\tf(VARCHAR)\n");
    EXPECT_EQ(b.message, "No function matches 'f(INTEGER)'.");
    EXPECT_EQ(b.detail, "\tCandidate functions:\n\tf(VARCHAR)");
}

TEST(KelvodEngineErrors, ChoosesTheSqlstateByTypeAndWithinATypeByText) {
    struct {
        duckdb_error_type type;
        const char* text;
        const char* sqlstate;
    } states[] = {
        {DUCKDB_ERROR_TRANSACTION, "TransactionContext Error: Conflict on update!", "40001"},
        {DUCKDB_ERROR_TRANSACTION, "TransactionContext Error: Catalog write-write conflict on alter with \"t\"",
         "40001"},
        {DUCKDB_ERROR_TRANSACTION, "TransactionContext Error: Current transaction is aborted (please ROLLBACK)",
         "25P02"},
        {DUCKDB_ERROR_IO, "IO Error: Could not write file \"/d/x.kelvo.wal\": No space left on device", "53100"},
        {DUCKDB_ERROR_FATAL, "FATAL Error: Failed to commit: Could not write file \"x\": No space left on device",
         "53100"},
        {DUCKDB_ERROR_INVALID_INPUT, "Invalid Input Error: Prepared statement \"p\" does not exist", "26000"},
        {DUCKDB_ERROR_CATALOG, "Catalog Error: unrecognized configuration parameter \"nosuch\"", "42704"},
        {DUCKDB_ERROR_CONVERSION, "Conversion Error: Could not cast value 1e30 to DECIMAL(38,10)", "22003"},
        {DUCKDB_ERROR_OUT_OF_MEMORY,
         "Out of Memory Error: could not allocate block of size 24.0 MiB (70.1 MiB/76.2 MiB used)", "53200"},
        {DUCKDB_ERROR_TRANSACTION, "TransactionContext Error: Failed to commit: failed to pin block of size 256.0 KiB",
         "53200"},
        {DUCKDB_ERROR_TRANSACTION,
         "TransactionContext Error: Failed to commit: PRIMARY KEY or UNIQUE constraint violation: duplicate key",
         "23505"},
        {DUCKDB_ERROR_INVALID,
         R"({"exception_type":"Out of Memory","exception_message":"failed to pin block \"x\"\u0021"})", "53200"},
        {DUCKDB_ERROR_BINDER, "Binder Error: Prepared statement \"two\" does not exist", "26000"},
        // The appender's texts come without the lead; the type alone tells the kind.
        {DUCKDB_ERROR_CONSTRAINT, "NOT NULL constraint failed: t.a", "23502"},
        {DUCKDB_ERROR_INVALID_INPUT, "null character not permitted", "54000"},
        {DUCKDB_ERROR_INVALID, "something odd", "XX000"},
    };
    for (const auto& c : states)
        EXPECT_EQ(EngineErrorFields(c.type, c.text).sqlstate, c.sqlstate) << c.text;
    EXPECT_EQ(EngineErrorFields(DUCKDB_ERROR_INVALID, states[11].text).message, "failed to pin block \"x\"!");
}

TEST(KelvodEngineErrors, ReadsTheTypeOfAnUntypedTextFromItsLead) {
    EngineError parser = TextError("Parser Error: syntax error at or near \"SELEC\"", "");
    EXPECT_EQ(parser.type, DUCKDB_ERROR_PARSER);
    EXPECT_EQ(parser.sqlstate, "42601");
    EXPECT_STREQ(parser.what(), "syntax error at or near \"SELEC\"");
    // A lead that names no type of the engine is part of the message.
    EngineError odd = TextError("Row 1 Error: Constraint Error: x", "");
    EXPECT_EQ(odd.type, DUCKDB_ERROR_INVALID);
    EXPECT_STREQ(odd.what(), "Row 1 Error: Constraint Error: x");
    EXPECT_STREQ(TextError(nullptr, "Prepare failed").what(), "Prepare failed");
}

TEST_F(KelvodEngine, TakesTheTypeOfAFailedResultAndRollsBackWithNoTransactionOpen) {
    try {
        RunEngine(c, "SELECT * FROM nope");
        ADD_FAILURE() << "no error";
    } catch (const EngineError& e) {
        EXPECT_EQ(e.type, DUCKDB_ERROR_CATALOG);
        EXPECT_EQ(e.sqlstate, "42P01");
    }
    EXPECT_NO_THROW(RollbackEngine(c));
    RunEngine(c, "BEGIN");
    RunEngine(c, "CREATE TABLE gone (a INT)");
    EXPECT_TRUE(EndStrayTransaction(c));
    EXPECT_THROW(RunEngine(c, "SELECT * FROM gone"), EngineError);
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

TEST_F(KelvodEngine, AResetOfTheMemoryLimitLetsQueriesUseTheDefaultLimitAgain) {
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
}

TEST_F(KelvodEngine, OnlyTheLoadingConnectionCanNameReadOrDrainItsFeed) {
    duckdb_connection loading = c, other = nullptr;
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
}
