// Null pointers and bad indexes from a C caller: every export that can fail
// refuses them with a clear error and its own context id, and the accessors
// answer without reading outside the object.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "error/error.h"
#include "kelvo/copy.h"
#include "kelvo/error.h"
#include "kelvo/instance.h"
#include "kelvo/parameters.h"
#include "kelvo/types.h"
#include "kelvo/values.h"

namespace {

struct NullCase {
    const char* name;
    std::function<kelvo_error_t*()> call;
    const char* message;
    uint32_t contextId;
};

TEST(NullArguments, RefusedWithInvalidArgumentAndTheExportsContextId) {
    kelvo_error_t* error = kelvo_error_create(1);
    kelvo_parameters_t* parameters = nullptr;
    ASSERT_EQ(kelvo_create_instance_parameters(&parameters, false), nullptr);
    kelvo_table_definition_t* definition = kelvo_create_table_definition(nullptr, nullptr, "t", KELVO_PERMANENT, false);
    kelvo_error_field_value value{};
    const char* text = "12";
    const char* nullText = nullptr;
    int64_t number = 0;

    const NullCase cases[] = {
        {"get_field error", [&] { return kelvo_error_get_field(nullptr, KELVO_ERROR_FIELD_MESSAGE, &value); },
         "Invalid `error`", 0x82020fbb},
        {"set_field error", [&] { return kelvo_error_set_field(nullptr, KELVO_ERROR_FIELD_MESSAGE, value); },
         "Invalid `error`", 0xf3323055},
        {"create_instance_parameters out", [&] { return kelvo_create_instance_parameters(nullptr, true); },
         "Invalid `parameters`", 0xa58781f4},
        // Refused before any server starts: the path names no server at all.
        {"instance_create out",
         [&] { return kelvo_instance_create("/nonexistent", KELVO_DISABLE_TELEMETRY, nullptr, nullptr); },
         "Invalid `instance_`", 0x4db1ec65},
        {"create_connection_parameters out", [&] { return kelvo_create_connection_parameters(nullptr, nullptr); },
         "Invalid `parameters`", 0x31066d0d},
        {"parameters_set value", [&] { return kelvo_parameters_set(parameters, "a", nullptr); }, "Invalid `value`",
         0xb591b658},
        {"copy_table_definition out", [&] { return kelvo_copy_table_definition(definition, nullptr); },
         "Invalid `copy`", 0x698b901e},
        {"add_column name",
         [&] { return kelvo_table_definition_add_column(definition, nullptr, KELVO_INT, 0xFFFFFFFF, nullptr, true); },
         "Invalid `column_name`", 0xb771d06c},
        {"parse_numeric text", [&] { return kelvo_parse_numeric(&nullText, text + 2, 10, 2, &number); },
         "Invalid `iter`", 0x15ebbae1},
        {"parse_numeric result",
         [&] {
             const char* p = text;
             return kelvo_parse_numeric(&p, text + 2, 10, 2, nullptr);
         },
         "Invalid `result`", 0x15ebbae1},
        {"resize_data_chunk", [&] { return kelvo_resize_data_chunk(nullptr, 10); }, "Invalid `data_chunk`", 0x6de2bf45},
    };
    for (const NullCase& c : cases) {
        SCOPED_TRACE(c.name);
        kelvo_error_t* returned = c.call();
        ASSERT_NE(returned, nullptr);
        const auto& refused = *static_cast<const kelvoapi::Error*>(returned);
        EXPECT_EQ(refused.GetCategory(), KELVO_ERROR_CATEGORY_GENERIC);
        EXPECT_EQ(refused.GetCode().value(), 22);
        EXPECT_EQ(refused.GetMessage(), c.message);
        EXPECT_EQ(refused.GetContextId().value, c.contextId);
        kelvo_error_destroy(returned);
    }
    // Two null pointers are an empty text, as an empty string_view hands them over.
    kelvo_error_t* empty = kelvo_parse_numeric(&nullText, nullptr, 10, 2, &number);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(static_cast<const kelvoapi::Error*>(empty)->GetSqlstate(), "42601");
    EXPECT_EQ(static_cast<const kelvoapi::Error*>(empty)->GetMessage(), "invalid number format: input string is empty");
    kelvo_error_destroy(empty);

    // Nothing was stored by a refused call.
    EXPECT_EQ(kelvo_table_definition_column_count(definition), 0u);
    EXPECT_EQ(number, 0);
    EXPECT_EQ(kelvo_parameters_copy(nullptr), nullptr);

    kelvo_destroy_table_definition(definition);
    kelvo_parameters_destroy(parameters);
    kelvo_error_destroy(error);
}

TEST(NullArguments, ColumnAccessorsAnswerForIndexesOutsideTheDefinition) {
    kelvo_table_definition_t* definition = kelvo_create_table_definition(nullptr, nullptr, "t", KELVO_PERMANENT, false);
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
    EXPECT_STREQ(kelvo_table_definition_column_name(definition, 0), "a");
    EXPECT_STREQ(kelvo_table_definition_column_collation(definition, 0), "C");
    kelvo_destroy_table_definition(definition);
}

}  // namespace
