// The engine's error texts as ErrorResponse fields.
#include <gtest/gtest.h>

#include "kelvod/engine/attachments.h"
#include "kelvod/engine/engine_errors.h"
#include "kelvod/engine/engine_version.h"

using namespace kelvod;

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

TEST(KelvodEngineErrors, TakesTheTypeOfAFailedResultAndRollsBackWithNoTransactionOpen) {
    duckdb_database engine = nullptr;
    ASSERT_EQ(duckdb_open(nullptr, &engine), DuckDBSuccess);
    duckdb_connection c = nullptr;
    ASSERT_EQ(duckdb_connect(engine, &c), DuckDBSuccess);
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
    duckdb_disconnect(&c);
    duckdb_close(&engine);
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
