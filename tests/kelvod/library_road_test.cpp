// The loading statements on the library's own road: the server started with
// kelvo_instance_create, a connection made with kelvo_connect, and the
// statements the inserter sends run through kelvo_execute_command and
// kelvo_execute_query, with their row counts and errors as the caller sees them.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "error/error.h"
#include "kelvo/kelvo.h"
#include "support/kelvod_server.h"

namespace {

std::string TextOf(kelvo_error_t* error) {
    const std::string text = error ? kelvoapi::ToString(*static_cast<kelvoapi::Error*>(error)) : "";
    kelvo_error_destroy(error);
    return text;
}

std::string SqlstateOf(kelvo_error_t* error) {
    const std::string state = error ? static_cast<kelvoapi::Error*>(error)->GetSqlstate() : "";
    kelvo_error_destroy(error);
    return state;
}

struct Disconnect {
    void operator()(kelvo_connection_t* c) const { kelvo_disconnect(c); }
};

}  // namespace

TEST(KelvodLibraryRoad, TheInsertersStatementsRunThroughTheLibrary) {
    const std::string dir = kelvotest::MakeTempDirectory();
    kelvo_parameters_t* parameters = nullptr;
    ASSERT_EQ("", TextOf(kelvo_create_instance_parameters(&parameters, true)));
    ASSERT_EQ("", TextOf(kelvo_parameters_set(parameters, "use_tcp_port", "off")));
    ASSERT_EQ("", TextOf(kelvo_parameters_set(parameters, "log_dir", dir.c_str())));
    kelvo_instance_t* instance = nullptr;
    ASSERT_EQ("", TextOf(kelvo_instance_create(KELVO_SERVER_DIR, KELVO_DISABLE_TELEMETRY, parameters, &instance)));
    kelvo_parameters_destroy(parameters);

    kelvo_parameters_t* connection = nullptr;
    ASSERT_EQ("", TextOf(kelvo_create_connection_parameters(instance, &connection)));
    const std::string path = dir + "/load.kelvo";
    ASSERT_EQ("", TextOf(kelvo_parameters_set(connection, "dbname", path.c_str())));
    kelvo_connection_t* raw = nullptr;
    ASSERT_EQ("", TextOf(kelvo_connect(connection, &raw, KELVO_CREATE_AND_REPLACE)));
    kelvo_parameters_destroy(connection);
    std::unique_ptr<kelvo_connection_t, Disconnect> conn(raw);

    int affected = -1;
    ASSERT_EQ("", TextOf(kelvo_execute_command(conn.get(), "CREATE TABLE \"loaded\" (\"a\" INT NOT NULL, \"b\" TEXT)",
                                               &affected)));
    ASSERT_EQ("", TextOf(kelvo_execute_command(conn.get(),
                                               "INSERT BULK INTO \"loaded\" (\"a\", \"b\") (SELECT 6 * 7, 'bulk')",
                                               &affected)));
    EXPECT_EQ(affected, 1);
    const char* stream = "\"load\".\"public\".\"__Insert_Stream__loaded__\"";
    ASSERT_EQ("", TextOf(kelvo_execute_command(
                      conn.get(),
                      (std::string("CREATE BOUNDED EXTERNAL STREAM ") + stream +
                       " (\"a\" INT NOT NULL, \"b\" TEXT)  (WITH (FORMAT KELVOBINARY, SANITIZE));")
                          .c_str(),
                      &affected)));
    // The name probe sees the stream as a relation of kind 'x'.
    kelvo_rowset_t* rowset = nullptr;
    ASSERT_EQ("", TextOf(kelvo_execute_query(conn.get(),
                                             "SELECT 1 FROM \"load\".pg_catalog.pg_class r WHERE r.relname = "
                                             "'__Insert_Stream__loaded__' AND r.relkind = 'x'",
                                             &rowset)));
    kelvo_rowset_chunk_t* chunk = nullptr;
    ASSERT_EQ("", TextOf(kelvo_rowset_get_next_chunk(rowset, &chunk)));
    ASSERT_NE(chunk, nullptr);
    EXPECT_EQ(kelvo_rowset_chunk_row_count(chunk), 1u);
    kelvo_destroy_rowset_chunk(chunk);
    kelvo_close_rowset(rowset);
    // A second stream of that name is refused with the SQLSTATE the probe loop reacts to.
    EXPECT_EQ("42P07", SqlstateOf(kelvo_execute_command(
                           conn.get(),
                           (std::string("CREATE BOUNDED EXTERNAL STREAM ") + stream +
                            " (\"a\" INT NOT NULL)  (WITH (FORMAT KELVOBINARY, SANITIZE));")
                               .c_str(),
                           &affected)));
    ASSERT_EQ("", TextOf(kelvo_execute_command(conn.get(), (std::string("CLOSE EXTERNAL STREAM ") + stream).c_str(),
                                               &affected)));
    ASSERT_EQ("", TextOf(kelvo_execute_command(conn.get(),
                                               (std::string("INSERT BULK INTO \"load\".\"public\".\"loaded\" (\"a\", "
                                                            "\"b\") (SELECT \"a\", \"b\" FROM EXTERNAL STREAM ") +
                                                stream + ")")
                                                   .c_str(),
                                               &affected)));
    EXPECT_EQ(affected, 0);
    ASSERT_EQ("", TextOf(kelvo_execute_command(
                      conn.get(), (std::string("DROP EXTERNAL STREAM IF EXISTS ") + stream).c_str(), &affected)));
    EXPECT_EQ("42P01", SqlstateOf(kelvo_execute_command(
                           conn.get(), (std::string("CLOSE EXTERNAL STREAM ") + stream).c_str(), &affected)));

    conn.reset();
    kelvo_instance_close(instance);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}
