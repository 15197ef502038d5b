// The engine's error texts as ErrorResponse fields.
#include <gtest/gtest.h>

#include "kelvod/engine/attachments.h"
#include "kelvod/engine/engine_errors.h"
#include "kelvod/engine/engine_version.h"

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
