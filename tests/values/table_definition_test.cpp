// Table definitions through the C interface, the tag/OID table, and their
// CREATE statements (where column types and modifiers are written).
#include <cstdint>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "api/table_definition.h"
#include "api/type.h"
#include "error/error.h"
#include "kelvo/error.h"
#include "kelvo/types.h"

namespace {

// Modifiers below 4 and 0xFFFFFFFF carry no length, precision or scale.
TEST(TypeModifier, SentinelsMeanNone) {
    for (const uint32_t modifier : {0xFFFFFFFFu, 0u, 3u}) {
        EXPECT_EQ(kelvo_get_max_length_from_modifier(modifier), 0xFFFFFFFFu) << modifier;
        EXPECT_EQ(kelvo_get_precision_from_modifier(modifier), 0xFFFFFFFFu) << modifier;
        EXPECT_EQ(kelvo_get_scale_from_modifier(modifier), 0xFFFFFFFFu) << modifier;
    }
    EXPECT_EQ(kelvo_get_max_length_from_modifier(4u), 0u);
}

struct DefinitionDeleter {
    void operator()(kelvo_table_definition_t* definition) const { kelvo_destroy_table_definition(definition); }
};
using DefinitionPtr = std::unique_ptr<kelvo_table_definition_t, DefinitionDeleter>;

void AddColumn(kelvo_table_definition_t* definition, const char* name, kelvo_type_tag_t tag, uint32_t modifier,
               const char* collation, bool nullable) {
    kelvo_error_t* error = kelvo_table_definition_add_column(definition, name, tag, modifier, collation, nullable);
    ASSERT_EQ(error, nullptr);
}

TEST(TableDefinitionExports, StoreFindAndCopyColumns) {
    DefinitionPtr definition(kelvo_create_table_definition(nullptr, nullptr, "t", KELVO_TEMPORARY, true));
    ASSERT_NE(definition, nullptr);
    EXPECT_STREQ(kelvo_table_definition_schema_name(definition.get()), "");
    EXPECT_EQ(kelvo_table_definition_table_persistence(definition.get()), KELVO_TEMPORARY);
    AddColumn(definition.get(), "a", KELVO_CHAR, kelvo_encode_string_modifier(1), nullptr, false);
    AddColumn(definition.get(), "b", KELVO_CHAR, kelvo_encode_string_modifier(10), "en_US", true);
    AddColumn(definition.get(), "a", KELVO_UNSUPPORTED, 0xFFFFFFFF, nullptr, true);
    struct Expected {
        const char* name;
        kelvo_type_tag_t tag;
        uint32_t oid, modifier;
        const char* collation;
        bool nullable;
    };
    const Expected expected[] = {{"a", KELVO_CHAR, 18, 5, "", false},
                                 {"b", KELVO_CHAR, 1042, 14, "en_US", true},
                                 {"a", KELVO_UNSUPPORTED, 0, 0xFFFFFFFF, "", true}};
    ASSERT_EQ(kelvo_table_definition_column_count(definition.get()), 3u);
    for (kelvo_field_index_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_STREQ(kelvo_table_definition_column_name(definition.get(), i), expected[i].name);
        EXPECT_EQ(kelvo_table_definition_column_type_tag(definition.get(), i), expected[i].tag);
        EXPECT_EQ(kelvo_table_definition_column_type_oid(definition.get(), i), expected[i].oid);
        EXPECT_EQ(kelvo_table_definition_column_type_modifier(definition.get(), i), expected[i].modifier);
        EXPECT_STREQ(kelvo_table_definition_column_collation(definition.get(), i), expected[i].collation);
        EXPECT_EQ(kelvo_table_definition_column_is_nullable(definition.get(), i), expected[i].nullable);
    }
    // The first column of a name, compared exactly; the column count when there is none.
    const std::pair<const char*, kelvo_field_index_t> lookups[] = {
        {"a", 0}, {"b", 1}, {"A", 3}, {"a ", 3}, {nullptr, 3}};
    for (const auto& [name, index] : lookups)
        EXPECT_EQ(kelvo_table_definition_column_index(definition.get(), name), index);
    // The one-byte "char" of a result column comes back by its own rule, not by the tag table.
    EXPECT_EQ(kelvoapi::ConvertLibpqType(18, 5).m_tag, KELVO_CHAR);

    kelvo_table_definition_t* raw = nullptr;
    ASSERT_EQ(kelvo_copy_table_definition(definition.get(), &raw), nullptr);
    DefinitionPtr copy(raw);
    EXPECT_TRUE(static_cast<const kelvoapi::TableDefinition*>(copy.get())->IsStream());
    AddColumn(copy.get(), "c", KELVO_INT, 0xFFFFFFFF, nullptr, true);
    EXPECT_EQ(kelvo_table_definition_column_count(definition.get()), 3u);
    EXPECT_EQ(kelvo_create_table_definition("d", "s", nullptr, KELVO_PERMANENT, false), nullptr);
}

kelvoapi::TableDefinition TwoColumns(std::string database, std::string schema, std::string table,
                                     kelvo_table_persistence_t persistence, bool stream) {
    kelvoapi::TableDefinition definition(std::move(database), std::move(schema), std::move(table), persistence, stream);
    definition.AddColumn("a", KELVO_INT, 0xFFFFFFFF, "", false);
    definition.AddColumn("b", KELVO_TEXT, 0xFFFFFFFF, "", true);
    return definition;
}

constexpr const char* two_columns = "(\"a\" INT NOT NULL, \"b\" TEXT)";
constexpr const char* stream_tail = "  (WITH (FORMAT KELVOBINARY, SANITIZE));";

TEST(TableDefinition, GeneratesCreateStatementsAndColumnLists) {
    struct Case {
        const char* name;
        kelvoapi::TableDefinition definition;
        bool ifNotExists;
        std::string sql;
    };
    const Case cases[] = {
        {"temporary in a schema", TwoColumns("", "s", "t", KELVO_TEMPORARY, false), false,
         "CREATE TEMPORARY TABLE \"s\".\"t\" " + std::string(two_columns) + ";"},
        {"stream with database and schema", TwoColumns("d", "s", "t", KELVO_PERMANENT, true), false,
         "CREATE BOUNDED EXTERNAL STREAM \"d\".\"s\".\"t\" " + std::string(two_columns) + stream_tail},
        {"stream with database only", TwoColumns("d", "", "t", KELVO_TEMPORARY, true), true,
         "CREATE BOUNDED EXTERNAL STREAM IF NOT EXISTS \"t\" " + std::string(two_columns) + stream_tail},
        {"quoted names", TwoColumns("my \"db\"", "", "a\nb", KELVO_PERMANENT, false), false,
         "CREATE TABLE \"my \"\"db\"\"\".U&\"a\\000Ab\" " + std::string(two_columns) + ";"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.definition.GenerateCreateSQL(c.ifNotExists), c.sql);
    }

    kelvoapi::TableDefinition definition("t", KELVO_PERMANENT, false);
    definition.AddColumn("v", KELVO_VARCHAR, kelvo_encode_string_modifier(100), "en_US", false);
    definition.AddColumn("x\"y", KELVO_NUMERIC, kelvo_encode_numeric_modifier(18, 3), "", true);
    EXPECT_EQ(definition.GenerateColumnNamesSQL(), "\"v\", \"x\"\"y\"");
    // Modifiers meaning none are written as they are.
    for (const auto tag : {KELVO_NUMERIC, KELVO_VARCHAR, KELVO_DOUBLE, KELVO_GEOGRAPHY})
        definition.AddColumn("n", tag, 0xFFFFFFFF, "", true);
    definition.AddColumn("c", KELVO_CHAR, kelvo_encode_string_modifier(1), "de\"x", true);
    EXPECT_EQ(definition.GenerateColumnDefinitionsSQL(),
              "\"v\" VARCHAR(100) NOT NULL COLLATE \"en_US\", \"x\"\"y\" NUMERIC(18,3), "
              "\"n\" NUMERIC(4294967295,4294967295), \"n\" VARCHAR(4294967295), \"n\" DOUBLE PRECISION, "
              "\"n\" GEOGRAPHY, \"c\" CHAR(1) COLLATE \"de\"\"x\"");
    const kelvoapi::TableDefinition table = TwoColumns("d", "s", "t", KELVO_PERMANENT, false);
    EXPECT_EQ(table.GenerateCreateStreamSQL("", "", "", true),
              "CREATE BOUNDED EXTERNAL STREAM IF NOT EXISTS \"t\" " + std::string(two_columns) + stream_tail);

    kelvoapi::TableDefinition unsupported("t", KELVO_PERMANENT, false);
    unsupported.AddColumn("u", KELVO_UNSUPPORTED, 0xFFFFFFFF, "", true);
    try {
        unsupported.GenerateCreateSQL(false);
        FAIL() << "no error";
    } catch (const kelvoapi::Error& error) {
        EXPECT_EQ(error.GetCode(), std::make_error_code(std::errc::invalid_argument));
        EXPECT_EQ(error.GetMessage(), "`type` `KELVO_UNSUPPORTED` has no string representation");
        EXPECT_EQ(error.GetContextId().value, 0x6f86ef7bu);
    }
}

}  // namespace
