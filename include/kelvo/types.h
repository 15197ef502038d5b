/* kelvo: types functions of the C interface: SQL type tags, type modifiers and
 * table definitions. */
#ifndef KELVO_TYPES_H
#define KELVO_TYPES_H

#include "kelvo/common.h"

KELVO_EXTERN_C_BEGIN

typedef enum kelvo_type_tag_t {
    KELVO_UNSUPPORTED = 0,
    KELVO_BOOL = 1,
    KELVO_BIG_INT = 2,
    KELVO_SMALL_INT = 3,
    KELVO_INT = 4,
    KELVO_NUMERIC = 5,
    KELVO_DOUBLE = 6,
    KELVO_OID = 7,
    KELVO_BYTE_A = 8,
    KELVO_TEXT = 9,
    KELVO_VARCHAR = 10,
    KELVO_CHAR = 11,
    KELVO_JSON = 12,
    KELVO_DATE = 13,
    KELVO_INTERVAL = 14,
    KELVO_TIME = 15,
    KELVO_TIMESTAMP = 16,
    KELVO_TIMESTAMP_TZ = 17,
    KELVO_GEOGRAPHY = 18
} kelvo_type_tag_t;

/* A string type's modifier is its maximum length plus 4; a numeric type's is
 * ((precision << 16) | scale) plus 4; 0xFFFFFFFF means no modifier. */
typedef uint32_t kelvo_type_modifier_t;

/* The position of a column in a table definition or a result. */
typedef uint32_t kelvo_field_index_t;

typedef enum kelvo_table_persistence_t { KELVO_PERMANENT = 0, KELVO_TEMPORARY = 1 } kelvo_table_persistence_t;

KELVO_API kelvo_type_modifier_t kelvo_encode_numeric_modifier(uint32_t precision, uint32_t scale);
KELVO_API kelvo_type_modifier_t kelvo_encode_string_modifier(uint32_t max_length);
/* Each reader returns 0xFFFFFFFF (no modifier) for 0xFFFFFFFF and 0 to 3. */
KELVO_API uint32_t kelvo_get_precision_from_modifier(kelvo_type_modifier_t modifier);
KELVO_API uint32_t kelvo_get_scale_from_modifier(kelvo_type_modifier_t modifier);
KELVO_API uint32_t kelvo_get_max_length_from_modifier(kelvo_type_modifier_t modifier);

/* A table (or external stream) name with its database and schema, its
 * persistence and its ordered, typed columns. */
typedef struct kelvo_table_definition_t kelvo_table_definition_t;

/* A null database or schema name counts as empty. Returns null when memory
 * runs out or when no table name is given. Free with
 * kelvo_destroy_table_definition. */
KELVO_API kelvo_table_definition_t* kelvo_create_table_definition(const char* database_name, const char* schema_name,
                                                                  const char* table_name,
                                                                  kelvo_table_persistence_t persistence, bool stream);
/* Null is ignored. */
KELVO_API void kelvo_destroy_table_definition(kelvo_table_definition_t* table_definition);
/* Stores a new, independent copy in *copy. A null definition or copy is
 * refused with code 22 of the generic category. */
KELVO_API kelvo_error_t* kelvo_copy_table_definition(const kelvo_table_definition_t* table_definition,
                                                     kelvo_table_definition_t** copy);
/* Appends a column; a null collation means the default one. Column names need
 * not be unique; a null definition or column name is refused with code 22 of
 * the generic category. */
KELVO_API kelvo_error_t* kelvo_table_definition_add_column(kelvo_table_definition_t* table_definition,
                                                           const char* column_name, kelvo_type_tag_t type_tag,
                                                           kelvo_type_modifier_t modifier, const char* collation,
                                                           bool nullable);

/* Texts stay owned by the definition. */
KELVO_API const char* kelvo_table_definition_database_name(const kelvo_table_definition_t* table_definition);
KELVO_API const char* kelvo_table_definition_schema_name(const kelvo_table_definition_t* table_definition);
KELVO_API const char* kelvo_table_definition_table_name(const kelvo_table_definition_t* table_definition);
KELVO_API kelvo_table_persistence_t
kelvo_table_definition_table_persistence(const kelvo_table_definition_t* table_definition);
KELVO_API size_t kelvo_table_definition_column_count(const kelvo_table_definition_t* table_definition);
/* The first column of that name; the column count when there is none. */
KELVO_API kelvo_field_index_t kelvo_table_definition_column_index(const kelvo_table_definition_t* table_definition,
                                                                  const char* column_name);
/* Column accessors take an index below the column count; for any other index
 * they give null texts, KELVO_UNSUPPORTED, OID 0, modifier 0xFFFFFFFF and
 * false. */
KELVO_API const char* kelvo_table_definition_column_name(const kelvo_table_definition_t* table_definition,
                                                         kelvo_field_index_t column_index);
KELVO_API kelvo_type_tag_t kelvo_table_definition_column_type_tag(const kelvo_table_definition_t* table_definition,
                                                                  kelvo_field_index_t column_index);
KELVO_API uint32_t kelvo_table_definition_column_type_oid(const kelvo_table_definition_t* table_definition,
                                                          kelvo_field_index_t column_index);
KELVO_API kelvo_type_modifier_t kelvo_table_definition_column_type_modifier(
    const kelvo_table_definition_t* table_definition, kelvo_field_index_t column_index);
KELVO_API bool kelvo_table_definition_column_is_nullable(const kelvo_table_definition_t* table_definition,
                                                         kelvo_field_index_t column_index);
/* Empty for the default collation. */
KELVO_API const char* kelvo_table_definition_column_collation(const kelvo_table_definition_t* table_definition,
                                                              kelvo_field_index_t column_index);

KELVO_EXTERN_C_END

#endif
