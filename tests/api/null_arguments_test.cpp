// Null pointers and bad indexes from a C caller: refused with a clear error and the export's own context id, or
// answered as an empty object would.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "api/string_list.h"
#include "kelvo/kelvo.h"
#include "support/error_ptr.h"

extern "C" {
// enum_values.c
kelvo_error_t* AddColumnOfTag(kelvo_table_definition_t* definition, int tag);
kelvo_table_definition_t* DefinitionOfPersistence(int persistence);
kelvo_error_t* QueryInFormat(int format, kelvo_rowset_t** rowset);
kelvo_error_t* PreparedInFormat(int format, kelvo_rowset_t** rowset);
}

namespace {

using kelvotest::AsError;
using kelvotest::ErrorPtr;

// A call of `function` with `arguments`, made when its row is checked.
template <typename Function, typename... Arguments>
std::function<kelvo_error_t*()> Call(Function function, Arguments... arguments) {
    return [=] { return function(arguments...); };
}

TEST(NullArguments, RefusedWithInvalidArgumentAndTheExportsContextId) {
    kelvo_parameters_t* parameters = nullptr;
    ASSERT_EQ(kelvo_create_instance_parameters(&parameters, false), nullptr);
    kelvo_table_definition_t* definition = kelvo_create_table_definition(nullptr, nullptr, "t", KELVO_PERMANENT, false);
    kelvo_error_field_value value{};
    const char* text = "12";
    const char* iter = text;
    const char* nullText = nullptr;
    int64_t number = 0;
    kelvo_rowset_t* rowset = nullptr;
    kelvo_string_list_t* list = nullptr;
    kelvo_table_definition_t* table = nullptr;
    bool exists = false;
    char* buffer = nullptr;
    size_t length = 0, count = 0;
    const uint8_t* const* values = nullptr;
    const size_t* sizes = nullptr;
    const int8_t* nulls = nullptr;
    kelvo_rowset_chunk_t* chunk = nullptr;
    kelvo_ping_status_t ping = KELVO_PING_OK;
    kelvo_connection_t* connection = nullptr;
    const std::string conn = "Invalid `connection`";
    const std::tuple<std::function<kelvo_error_t*()>, std::string, uint32_t> cases[] = {
        {Call(kelvo_error_get_field, nullptr, KELVO_ERROR_FIELD_MESSAGE, &value), "Invalid `error`", 0x82020fbb},
        {Call(kelvo_error_set_field, nullptr, KELVO_ERROR_FIELD_MESSAGE, value), "Invalid `error`", 0xf3323055},
        {Call(kelvo_create_instance_parameters, nullptr, true), "Invalid `parameters`", 0xa58781f4},
        // Refused before any server starts: the path names no server at all.
        {Call(kelvo_instance_create, "/nonexistent", KELVO_DISABLE_TELEMETRY, nullptr, nullptr), "Invalid `instance_`",
         0x4db1ec65},
        {Call(kelvo_create_connection_parameters, nullptr, nullptr), "Invalid `parameters`", 0x31066d0d},
        {Call(kelvo_parameters_set, parameters, "a", nullptr), "Invalid `value`", 0xb591b658},
        {Call(kelvo_copy_table_definition, definition, nullptr), "Invalid `copy`", 0x698b901e},
        {Call(kelvo_table_definition_add_column, definition, nullptr, KELVO_INT, 0xFFFFFFFF, nullptr, true),
         "Invalid `column_name`", 0xb771d06c},
        {Call(kelvo_parse_numeric, &nullText, text + 2, 10, 2, &number), "Invalid `iter`", 0x15ebbae1},
        {Call(kelvo_parse_numeric, &iter, text + 2, 10, 2, nullptr), "Invalid `result`", 0x15ebbae1},
        {Call(kelvo_resize_data_chunk, nullptr, 10), "Invalid `data_chunk`", 0x6de2bf45},
        {Call(kelvo_connect, nullptr, &connection, KELVO_DO_NOT_CREATE), "Invalid `parameters`", 0xdd05adc3},
        {Call(kelvo_ping, nullptr, &ping), "Invalid `parameters`", 0x40de4ab2},
        {Call(kelvo_cancel, nullptr), conn, 0x76ff2737},
        {Call(kelvo_execute_query, nullptr, "q", &rowset), conn, 0x5d52b1f3},
        {Call(kelvo_execute_query_params, nullptr, "q", KELVO_ROWSET_RESULT_FORMAT_TEXT, &rowset), conn, 0xce8da909},
        {Call(kelvo_execute_prepared, nullptr, "p", KELVO_ROWSET_RESULT_FORMAT_TEXT, &rowset), conn, 0x64333fac},
        {Call(kelvo_execute_command, nullptr, "c", nullptr), conn, 0xfe584af7},
        {Call(kelvo_prepare, nullptr, "p", "q"), conn, 0x3beb7719},
        {Call(kelvo_rowset_get_next_chunk, nullptr, &chunk), "Invalid `rowset`", 0x4105d458},
        {Call(kelvo_rowset_get_copy_data, nullptr, &buffer, &length), "Invalid `rowset`", 0x4105d459},
        {Call(kelvo_rowset_chunk_field_values, nullptr, &count, &count, &values, &sizes, &nulls),
         "Invalid `rowset_chunk`", 0xc1e7dd39},
        {Call(kelvo_get_schema_names, nullptr, nullptr, &list), conn, 0x57c35a26},
        {Call(kelvo_get_table_names, nullptr, nullptr, "s", &list), conn, 0xa82ea42b},
        {Call(kelvo_has_table, nullptr, nullptr, nullptr, "t", &exists), conn, 0xe4dbfdc9},
        {Call(kelvo_get_table_definition, nullptr, nullptr, nullptr, "t", &table), conn, 0x62d189a1},
        {Call(kelvo_create_database, nullptr, "p", true), conn, 0x685c55ff},
        {Call(kelvo_drop_database, nullptr, "p", true), conn, 0x1a07c27e},
        {Call(kelvo_attach_database, nullptr, "p", nullptr), conn, 0x0e004a74},
        {Call(kelvo_detach_database, nullptr, "a"), conn, 0x84f92a22},
        {Call(kelvo_detach_all_databases, nullptr), conn, 0x2b4a292d},
        {Call(kelvo_create_schema, nullptr, nullptr, "s", true), conn, 0x685775ff},
        {Call(kelvo_create_table, nullptr, nullptr, true), conn, 0xa5c307ee}};
    for (const auto& [call, message, contextId] : cases) {
        SCOPED_TRACE(message);
        const ErrorPtr returned(call());
        ASSERT_NE(returned, nullptr);
        EXPECT_EQ(AsError(returned).GetCategory(), KELVO_ERROR_CATEGORY_GENERIC);
        EXPECT_EQ(AsError(returned).GetCode().value(), 22);
        EXPECT_EQ(AsError(returned).GetMessage(), message);
        EXPECT_EQ(AsError(returned).GetContextId().value, contextId);
    }
    // Two null pointers are an empty text, as an empty string_view hands them over.
    const ErrorPtr empty(kelvo_parse_numeric(&nullText, nullptr, 10, 2, &number));
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(AsError(empty).GetSqlstate(), "42601");
    EXPECT_EQ(AsError(empty).GetMessage(), "invalid number format: input string is empty");
    // Nothing was stored by a refused call.
    EXPECT_EQ(kelvo_table_definition_column_count(definition), 0u);
    EXPECT_EQ(number, 0);
    EXPECT_EQ(kelvo_parameters_copy(nullptr), nullptr);
    EXPECT_EQ(nullptr, rowset);
    EXPECT_EQ(nullptr, list);
    EXPECT_EQ(nullptr, table);
    EXPECT_EQ(nullptr, connection);
    kelvo_destroy_table_definition(definition);
    kelvo_parameters_destroy(parameters);
}

TEST(NullArguments, DbapiAccessorsAnswerANullHandleAsEmpty) {
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
    EXPECT_EQ(0u, kelvo_string_list_size(nullptr));
    EXPECT_EQ(nullptr, kelvo_string_list_at(nullptr, 0));
    kelvo_string_list_destroy(nullptr);
    EXPECT_EQ(nullptr, kelvo_get_chunk_data(nullptr));
    EXPECT_EQ(0u, kelvo_get_chunk_data_size(nullptr));
    EXPECT_EQ(nullptr, kelvo_table_definition_database_name(nullptr));
    EXPECT_EQ(nullptr, kelvo_table_definition_schema_name(nullptr));
    EXPECT_EQ(nullptr, kelvo_table_definition_table_name(nullptr));
    EXPECT_EQ(KELVO_PERMANENT, kelvo_table_definition_table_persistence(nullptr));
    EXPECT_EQ(0u, kelvo_table_definition_column_count(nullptr));
    EXPECT_EQ(0u, kelvo_table_definition_column_index(nullptr, "a"));
    EXPECT_EQ(nullptr, kelvo_table_definition_column_name(nullptr, 0));
    EXPECT_EQ(KELVO_UNSUPPORTED, kelvo_table_definition_column_type_tag(nullptr, 0));
    EXPECT_EQ(nullptr, kelvo_table_definition_column_collation(nullptr, 0));
    // A null text quotes as the empty one, whatever length comes with it.
    char quoted[10] = {};
    EXPECT_EQ(2u, kelvo_quote_sql_identifier(quoted, sizeof quoted, nullptr, 3));
    EXPECT_EQ(2u, kelvo_quote_sql_literal(quoted, sizeof quoted, nullptr, 3));
}

// Values a C caller may pass for an enumeration that name none of its members (passed from C, where that is allowed),
// and column indexes outside the definition.
TEST(NullArguments, EnumerationValuesAndColumnIndexesOutsideTheirRangeAreRefused) {
    kelvo_table_definition_t* definition = kelvo_create_table_definition(nullptr, nullptr, "t", KELVO_PERMANENT, false);
    const ErrorPtr refused(AddColumnOfTag(definition, 99));
    ASSERT_NE(refused, nullptr);
    EXPECT_EQ(AsError(refused).GetMessage(), "Invalid `type_tag`");
    ASSERT_EQ(kelvo_table_definition_add_column(definition, "a", KELVO_TEXT, 0xFFFFFFFF, "C", true), nullptr);
    for (kelvo_field_index_t index : {1u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(index);
        EXPECT_EQ(kelvo_table_definition_column_name(definition, index), nullptr);
        EXPECT_EQ(kelvo_table_definition_column_type_tag(definition, index), KELVO_UNSUPPORTED);
        EXPECT_EQ(kelvo_table_definition_column_type_oid(definition, index), 0u);
        EXPECT_EQ(kelvo_table_definition_column_type_modifier(definition, index), 0xFFFFFFFFu);
        EXPECT_FALSE(kelvo_table_definition_column_is_nullable(definition, index));
        EXPECT_EQ(kelvo_table_definition_column_collation(definition, index), nullptr);
    }
    EXPECT_STREQ(kelvo_table_definition_column_collation(definition, 0), "C");
    kelvo_destroy_table_definition(definition);
    EXPECT_EQ(nullptr, DefinitionOfPersistence(7));
    kelvo_rowset_t* rowset = nullptr;
    for (kelvo_error_t* error : {QueryInFormat(77, &rowset), PreparedInFormat(-1, &rowset)}) {
        const ErrorPtr owned(error);
        ASSERT_NE(owned, nullptr);
        EXPECT_EQ(AsError(owned).GetMessage(), "Invalid `result_format`");
    }
    EXPECT_EQ(nullptr, rowset);
}

// String lists as the catalog functions hand them to a C caller: texts that stay in place while the list lives, and bad
// indexes answered with null.
TEST(NullArguments, StringListsAnswerBadIndexes) {
    for (const std::vector<std::string>& strings : {std::vector<std::string>{}, {"public", "", "schema \xc3\xa9"}}) {
        SCOPED_TRACE(strings.size());
        auto* list = new kelvo_string_list_t{strings};
        ASSERT_EQ(kelvo_string_list_size(list), strings.size());
        for (size_t i = 0; i < strings.size(); ++i) {
            const char* text = kelvo_string_list_at(list, static_cast<int>(i));
            ASSERT_NE(text, nullptr);
            EXPECT_EQ(std::string(text), strings[i]);
            EXPECT_EQ(kelvo_string_list_at(list, static_cast<int>(i)), text);
        }
        for (int bad : {-1, static_cast<int>(strings.size()), static_cast<int>(strings.size()) + 5, INT32_MIN})
            EXPECT_EQ(kelvo_string_list_at(list, bad), nullptr) << bad;
        kelvo_string_list_destroy(list);
    }
}

}  // namespace
