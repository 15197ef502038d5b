// Null pointers from a C caller at the connection, rowset, catalog and
// statement exports: the ones that can fail refuse them with "Invalid
// `<argument>`" and their own context id; the accessors and setters answer as
// an empty or closed object would.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "error/error.h"
#include "kelvo/kelvo.h"

namespace {

struct NullCase {
    std::function<kelvo_error_t*()> call;
    const char* message;
    uint32_t contextId;
};

TEST(DbapiNullArguments, RefusedWithTheExportsContextId) {
    kelvo_rowset_t* rowset = nullptr;
    kelvo_string_list_t* list = nullptr;
    kelvo_table_definition_t* definition = nullptr;
    bool exists = false;
    char* buffer = nullptr;
    size_t length = 0;
    size_t count = 0;
    const uint8_t* const* values = nullptr;
    const size_t* sizes = nullptr;
    const int8_t* nulls = nullptr;
    kelvo_rowset_chunk_t* chunk = nullptr;
    kelvo_ping_status_t ping = KELVO_PING_OK;
    kelvo_connection_t* connection = nullptr;
    const NullCase cases[] = {
        {[&] { return kelvo_connect(nullptr, &connection, KELVO_DO_NOT_CREATE); }, "Invalid `parameters`", 0xdd05adc3},
        {[&] { return kelvo_ping(nullptr, &ping); }, "Invalid `parameters`", 0x40de4ab2},
        {[&] { return kelvo_cancel(nullptr); }, "Invalid `connection`", 0x76ff2737},
        {[&] { return kelvo_execute_query(nullptr, "q", &rowset); }, "Invalid `connection`", 0x5d52b1f3},
        {[&] { return kelvo_execute_query_params(nullptr, "q", KELVO_ROWSET_RESULT_FORMAT_TEXT, &rowset); },
         "Invalid `connection`", 0xce8da909},
        {[&] { return kelvo_execute_prepared(nullptr, "p", KELVO_ROWSET_RESULT_FORMAT_TEXT, &rowset); },
         "Invalid `connection`", 0x64333fac},
        {[&] { return kelvo_execute_command(nullptr, "c", nullptr); }, "Invalid `connection`", 0xfe584af7},
        {[&] { return kelvo_prepare(nullptr, "p", "q"); }, "Invalid `connection`", 0x3beb7719},
        {[&] { return kelvo_rowset_get_next_chunk(nullptr, &chunk); }, "Invalid `rowset`", 0x4105d458},
        {[&] { return kelvo_rowset_get_copy_data(nullptr, &buffer, &length); }, "Invalid `rowset`", 0x4105d459},
        {[&] { return kelvo_rowset_chunk_field_values(nullptr, &count, &count, &values, &sizes, &nulls); },
         "Invalid `rowset_chunk`", 0xc1e7dd39},
        {[&] { return kelvo_get_schema_names(nullptr, nullptr, &list); }, "Invalid `connection`", 0x57c35a26},
        {[&] { return kelvo_get_table_names(nullptr, nullptr, "s", &list); }, "Invalid `connection`", 0xa82ea42b},
        {[&] { return kelvo_has_table(nullptr, nullptr, nullptr, "t", &exists); }, "Invalid `connection`", 0xe4dbfdc9},
        {[&] { return kelvo_get_table_definition(nullptr, nullptr, nullptr, "t", &definition); },
         "Invalid `connection`", 0x62d189a1},
        {[&] { return kelvo_create_database(nullptr, "p", true); }, "Invalid `connection`", 0x685c55ff},
        {[&] { return kelvo_drop_database(nullptr, "p", true); }, "Invalid `connection`", 0x1a07c27e},
        {[&] { return kelvo_attach_database(nullptr, "p", nullptr); }, "Invalid `connection`", 0x0e004a74},
        {[&] { return kelvo_detach_database(nullptr, "a"); }, "Invalid `connection`", 0x84f92a22},
        {[&] { return kelvo_detach_all_databases(nullptr); }, "Invalid `connection`", 0x2b4a292d},
        {[&] { return kelvo_create_schema(nullptr, nullptr, "s", true); }, "Invalid `connection`", 0x685775ff},
        {[&] { return kelvo_create_table(nullptr, nullptr, true); }, "Invalid `connection`", 0xa5c307ee},
    };
    for (const NullCase& c : cases) {
        kelvo_error_t* error = c.call();
        ASSERT_NE(nullptr, error) << c.message;
        const auto* e = static_cast<const kelvoapi::Error*>(error);
        EXPECT_EQ(c.message, e->GetMessage());
        EXPECT_EQ(c.contextId, e->GetContextId().value) << c.message;
        kelvo_error_destroy(error);
    }
    EXPECT_EQ(nullptr, rowset);
    EXPECT_EQ(nullptr, list);
    EXPECT_EQ(nullptr, definition);
    EXPECT_EQ(nullptr, connection);
}

TEST(DbapiNullArguments, AccessorsAnswerANullHandleAsEmpty) {
    EXPECT_EQ(KELVO_CONNECTION_BAD, kelvo_connection_status(nullptr));
    EXPECT_FALSE(kelvo_connection_is_ready(nullptr));
    EXPECT_EQ(nullptr, kelvo_connection_parameter_status(nullptr, "server_version"));
    kelvo_set_chunked_mode(nullptr, false);
    kelvo_set_prefetch_threshold(nullptr, 0);
    EXPECT_EQ(nullptr, kelvo_set_notice_receiver(nullptr, nullptr, nullptr));
    kelvo_disconnect(nullptr);

    EXPECT_EQ(nullptr, kelvo_rowset_get_table_definition(nullptr));
    EXPECT_EQ(-1, kelvo_rowset_get_affected_row_count(nullptr));
    EXPECT_FALSE(kelvo_rowset_has_copy_data(nullptr));
    kelvo_close_rowset(nullptr);
    kelvo_rowset_free_copy_data(nullptr);

    EXPECT_EQ(0u, kelvo_rowset_chunk_row_count(nullptr));
    EXPECT_EQ(nullptr, kelvo_rowset_chunk_field_value(nullptr, 0, 0).value);
    EXPECT_TRUE(kelvo_rowset_chunk_field_is_null(nullptr, 0, 0));
    int size = -1;
    EXPECT_EQ(nullptr, kelvo_rowset_chunk_field_value_byref(nullptr, 0, 0, &size));
    EXPECT_EQ(0, size);
    kelvo_destroy_rowset_chunk(nullptr);
}

}  // namespace
