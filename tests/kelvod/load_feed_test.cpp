// kelvod_load_feed: a load's feed is read by its own session's statement only.
#include <gtest/gtest.h>

#include "kelvod/loading/load_feed.h"
#include "kelvod/loading/row_piece_queue.h"
#include "kelvod/sql/catalog.h"

using namespace kelvod;

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
