// The C entry points of table definitions.
#include <new>
#include <string>

#include "api/table_definition.h"
#include "error/context_ids.h"
#include "error/frame.h"
#include "error/invalid_argument.h"
#include "kelvo/types.h"

namespace {

const kelvoapi::TableDefinition& AsDefinition(const kelvo_table_definition_t* definition) {
    return *static_cast<const kelvoapi::TableDefinition*>(definition);
}

// Null for an index at or beyond the column count: a C caller's bad index
// would otherwise read outside the column list.
const kelvoapi::TableDefinition::Column* ColumnAt(const kelvo_table_definition_t* definition,
                                                  kelvo_field_index_t index) {
    if (definition == nullptr) {
        return nullptr;
    }
    const kelvoapi::TableDefinition& core = AsDefinition(definition);
    return index < core.GetColumnCount() ? &core.GetColumn(index) : nullptr;
}

const char* OrEmpty(const char* text) { return text == nullptr ? "" : text; }

}  // namespace

kelvo_table_definition_t* kelvo_create_table_definition(const char* database_name, const char* schema_name,
                                                        const char* table_name, kelvo_table_persistence_t persistence,
                                                        bool stream) {
    const int rawPersistence = kelvoapi::RawEnumValue(persistence);
    if (table_name == nullptr || (rawPersistence != KELVO_PERMANENT && rawPersistence != KELVO_TEMPORARY)) {
        return nullptr;
    }
    try {
        return new kelvoapi::TableDefinition(OrEmpty(database_name), OrEmpty(schema_name), table_name, persistence,
                                             stream);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void kelvo_destroy_table_definition(kelvo_table_definition_t* table_definition) {
    delete static_cast<kelvoapi::TableDefinition*>(table_definition);
}

kelvo_error_t* kelvo_copy_table_definition(const kelvo_table_definition_t* table_definition,
                                           kelvo_table_definition_t** copy) {
    return kelvoapi::WrapErrorThrowingBlock(
        [&] {
            kelvoapi::ThrowIfNull(table_definition, "table_definition", kelvoapi::ContextIds::CopyTableDefinition);
            kelvoapi::ThrowIfNull(copy, "copy", kelvoapi::ContextIds::CopyTableDefinition);
            *copy = new kelvoapi::TableDefinition(AsDefinition(table_definition));
        },
        kelvoapi::ContextIds::CopyTableDefinition);
}

kelvo_error_t* kelvo_table_definition_add_column(kelvo_table_definition_t* table_definition, const char* column_name,
                                                 kelvo_type_tag_t type_tag, kelvo_type_modifier_t modifier,
                                                 const char* collation, bool nullable) {
    return kelvoapi::WrapErrorThrowingBlock(
        [&] {
            kelvoapi::ThrowIfNull(table_definition, "table_definition", kelvoapi::ContextIds::TableDefinitionAddColumn);
            kelvoapi::ThrowIfNull(column_name, "column_name", kelvoapi::ContextIds::TableDefinitionAddColumn);
            const int rawTag = kelvoapi::RawEnumValue(type_tag);
            if (rawTag < KELVO_UNSUPPORTED || rawTag > KELVO_GEOGRAPHY) {
                throw kelvoapi::InvalidArgumentError("type_tag", kelvoapi::ContextIds::TableDefinitionAddColumn);
            }
            static_cast<kelvoapi::TableDefinition*>(table_definition)
                ->AddColumn(column_name, type_tag, modifier, OrEmpty(collation), nullable);
        },
        kelvoapi::ContextIds::TableDefinitionAddColumn);
}

const char* kelvo_table_definition_database_name(const kelvo_table_definition_t* table_definition) {
    return table_definition == nullptr ? nullptr : AsDefinition(table_definition).GetDatabaseName().c_str();
}

const char* kelvo_table_definition_schema_name(const kelvo_table_definition_t* table_definition) {
    return table_definition == nullptr ? nullptr : AsDefinition(table_definition).GetSchemaName().c_str();
}

const char* kelvo_table_definition_table_name(const kelvo_table_definition_t* table_definition) {
    return table_definition == nullptr ? nullptr : AsDefinition(table_definition).GetTableName().c_str();
}

kelvo_table_persistence_t kelvo_table_definition_table_persistence(const kelvo_table_definition_t* table_definition) {
    return table_definition == nullptr ? KELVO_PERMANENT : AsDefinition(table_definition).GetPersistence();
}

size_t kelvo_table_definition_column_count(const kelvo_table_definition_t* table_definition) {
    return table_definition == nullptr ? 0 : AsDefinition(table_definition).GetColumnCount();
}

kelvo_field_index_t kelvo_table_definition_column_index(const kelvo_table_definition_t* table_definition,
                                                        const char* column_name) {
    if (table_definition == nullptr) {
        return 0;
    }
    const kelvoapi::TableDefinition& definition = AsDefinition(table_definition);
    // No column is named by a null pointer.
    if (column_name == nullptr) {
        return static_cast<kelvo_field_index_t>(definition.GetColumnCount());
    }
    return static_cast<kelvo_field_index_t>(definition.GetFieldIndex(column_name));
}

const char* kelvo_table_definition_column_name(const kelvo_table_definition_t* table_definition,
                                               kelvo_field_index_t column_index) {
    const auto* column = ColumnAt(table_definition, column_index);
    return column ? column->m_name.c_str() : nullptr;
}

kelvo_type_tag_t kelvo_table_definition_column_type_tag(const kelvo_table_definition_t* table_definition,
                                                        kelvo_field_index_t column_index) {
    const auto* column = ColumnAt(table_definition, column_index);
    return column ? column->m_type.m_tag : KELVO_UNSUPPORTED;
}

uint32_t kelvo_table_definition_column_type_oid(const kelvo_table_definition_t* table_definition,
                                                kelvo_field_index_t column_index) {
    const auto* column = ColumnAt(table_definition, column_index);
    return column ? column->m_type.m_oid : 0;
}

kelvo_type_modifier_t kelvo_table_definition_column_type_modifier(const kelvo_table_definition_t* table_definition,
                                                                  kelvo_field_index_t column_index) {
    const auto* column = ColumnAt(table_definition, column_index);
    return column ? column->m_type.m_modifier : kelvoapi::no_type_modifier;
}

bool kelvo_table_definition_column_is_nullable(const kelvo_table_definition_t* table_definition,
                                               kelvo_field_index_t column_index) {
    const auto* column = ColumnAt(table_definition, column_index);
    return column ? column->m_type.m_nullable : false;
}

const char* kelvo_table_definition_column_collation(const kelvo_table_definition_t* table_definition,
                                                    kelvo_field_index_t column_index) {
    const auto* column = ColumnAt(table_definition, column_index);
    return column ? column->m_type.m_collation.c_str() : nullptr;
}
