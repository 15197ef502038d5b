/* A C99 caller of every exported function: each is taken as a pointer of the
 * exact function type an application writes down, so a changed argument,
 * constness or result type fails to compile here before it breaks a caller
 * at run time. Enumerator values and record layouts are pinned the same way.
 * Compiled only, never run. */
#include "kelvo/kelvo.h"

/* Fails to compile (negative array size) when a condition is false. */
#define CHECK(name, condition) typedef char check_##name[(condition) ? 1 : -1]

CHECK(type_tags, KELVO_UNSUPPORTED == 0 && KELVO_BOOL == 1 && KELVO_BIG_INT == 2 && KELVO_SMALL_INT == 3 &&
                     KELVO_INT == 4 && KELVO_NUMERIC == 5 && KELVO_DOUBLE == 6 && KELVO_OID == 7 && KELVO_BYTE_A == 8 &&
                     KELVO_TEXT == 9 && KELVO_VARCHAR == 10 && KELVO_CHAR == 11 && KELVO_JSON == 12 &&
                     KELVO_DATE == 13 && KELVO_INTERVAL == 14 && KELVO_TIME == 15 && KELVO_TIMESTAMP == 16 &&
                     KELVO_TIMESTAMP_TZ == 17 && KELVO_GEOGRAPHY == 18);
CHECK(persistence, KELVO_PERMANENT == 0 && KELVO_TEMPORARY == 1);
CHECK(create_modes, KELVO_DO_NOT_CREATE == 0 && KELVO_CREATE == 1 && KELVO_CREATE_IF_NOT_EXISTS == 2 &&
                        KELVO_CREATE_AND_REPLACE == 3);
CHECK(connection_status, KELVO_CONNECTION_OK == 0 && KELVO_CONNECTION_BAD == 1);
CHECK(ping_status,
      KELVO_PING_OK == 0 && KELVO_PING_REJECT == 1 && KELVO_PING_NO_RESPONSE == 2 && KELVO_PING_NO_ATTEMPT == 3);
CHECK(result_formats, KELVO_ROWSET_RESULT_FORMAT_TEXT == 0 && KELVO_ROWSET_RESULT_FORMAT_KELVO_BINARY == 2);
CHECK(telemetry, KELVO_DISABLE_TELEMETRY == 0 && KELVO_ENABLE_TELEMETRY == 1);
CHECK(error_categories, KELVO_ERROR_CATEGORY_GENERIC == 0 && KELVO_ERROR_CATEGORY_SYSTEM == 1 &&
                            KELVO_ERROR_CATEGORY_PROCESS_EXIT_CODE == 3 && KELVO_ERROR_CATEGORY_SQLSTATE == 4);
CHECK(severity, KELVO_SEVERITY_ERROR == 0 && KELVO_SEVERITY_FATAL == 1 && KELVO_SEVERITY_PANIC == 2);
CHECK(error_keys,
      KELVO_ERROR_FIELD_ERROR_CATEGORY == 0 && KELVO_ERROR_FIELD_ERROR_CODE == 1 && KELVO_ERROR_FIELD_MESSAGE == 2 &&
          KELVO_ERROR_FIELD_HINT_MESSAGE == 3 && KELVO_ERROR_FIELD_SEVERITY == 4 && KELVO_ERROR_FIELD_SQL_STATE == 5 &&
          KELVO_ERROR_FIELD_CAUSE == 6 && KELVO_ERROR_FIELD_CONTEXT_ID == 7 && KELVO_ERROR_FIELD_DETAIL == 8);
CHECK(log_levels, KELVO_LOG_LEVEL_TRACE == 0 && KELVO_LOG_LEVEL_INFO == 1 && KELVO_LOG_LEVEL_WARNING == 2 &&
                      KELVO_LOG_LEVEL_ERROR == 3 && KELVO_LOG_LEVEL_FATAL == 4);

/* Unsigned scalar typedefs of their exact width. */
CHECK(type_modifier, sizeof(kelvo_type_modifier_t) == 4 && (kelvo_type_modifier_t)-1 > 0);
CHECK(date, sizeof(kelvo_date_t) == 4 && (kelvo_date_t)-1 > 0);
CHECK(time, sizeof(kelvo_time_t) == 8 && (kelvo_time_t)-1 > 0);
CHECK(row_index, sizeof(kelvo_row_index_t) == 4 && (kelvo_row_index_t)-1 > 0);
CHECK(field_index, sizeof(kelvo_field_index_t) == 4 && (kelvo_field_index_t)-1 > 0);

/* Records that cross the boundary by value: field order and widths. */
CHECK(data128,
      sizeof(kelvo_data128_t) == 16 && sizeof(((kelvo_data128_t*)0)->data[0]) == 8 && sizeof(kelvo_interval_t) == 16);
CHECK(date_components, offsetof(kelvo_date_components_t, year) == 0 && offsetof(kelvo_date_components_t, month) == 4 &&
                           offsetof(kelvo_date_components_t, day) == 6 && sizeof(kelvo_date_components_t) == 8);
CHECK(time_components, offsetof(kelvo_time_components_t, hour) == 0 && offsetof(kelvo_time_components_t, minute) == 1 &&
                           offsetof(kelvo_time_components_t, second) == 2 &&
                           offsetof(kelvo_time_components_t, microsecond) == 4 && sizeof(kelvo_time_components_t) == 8);
CHECK(interval_components,
      offsetof(kelvo_interval_components_t, years) == 0 && offsetof(kelvo_interval_components_t, months) == 4 &&
          offsetof(kelvo_interval_components_t, days) == 8 && offsetof(kelvo_interval_components_t, hours) == 12 &&
          offsetof(kelvo_interval_components_t, minutes) == 16 &&
          offsetof(kelvo_interval_components_t, seconds) == 20 &&
          offsetof(kelvo_interval_components_t, microseconds) == 24 && sizeof(kelvo_interval_components_t) == 28);
CHECK(value, offsetof(kelvo_value_t, value) == 0 && offsetof(kelvo_value_t, size) == sizeof(void*) &&
                 sizeof(((kelvo_value_t*)0)->size) == sizeof(size_t));
CHECK(error_field_value, offsetof(kelvo_error_field_value, discriminator) == 0 &&
                             offsetof(kelvo_error_field_value, value) >= sizeof(int) &&
                             sizeof(((kelvo_error_field_value*)0)->value.integer) == sizeof(int) &&
                             sizeof(((kelvo_error_field_value*)0)->value.uinteger) == 4);

/* The exact member types: a pointer to a member of another type does not
 * convert implicitly. */
#define MEMBER(record, member, type)     \
    {                                    \
        type* pinned = &(record).member; \
        (void)pinned;                    \
    }

void pin_records(kelvo_data128_t d, kelvo_date_components_t date, kelvo_time_components_t time,
                 kelvo_interval_components_t interval, kelvo_value_t value, kelvo_error_field_value field);
void pin_records(kelvo_data128_t d, kelvo_date_components_t date, kelvo_time_components_t time,
                 kelvo_interval_components_t interval, kelvo_value_t value, kelvo_error_field_value field) {
    MEMBER(d, data[0], uint64_t);
    MEMBER(date, year, int32_t);
    MEMBER(date, month, int16_t);
    MEMBER(date, day, int16_t);
    MEMBER(time, hour, int8_t);
    MEMBER(time, minute, int8_t);
    MEMBER(time, second, int8_t);
    MEMBER(time, microsecond, int32_t);
    MEMBER(interval, years, int32_t);
    MEMBER(interval, months, int32_t);
    MEMBER(interval, days, int32_t);
    MEMBER(interval, hours, int32_t);
    MEMBER(interval, minutes, int32_t);
    MEMBER(interval, seconds, int32_t);
    MEMBER(interval, microseconds, int32_t);
    MEMBER(value, value, const uint8_t*);
    MEMBER(value, size, size_t);
    MEMBER(field, discriminator, int);
    MEMBER(field, value.integer, int);
    MEMBER(field, value.string, const char*);
    MEMBER(field, value.pointer, void*);
    MEMBER(field, value.uinteger, uint32_t);
}

static void on_notice(void* context, kelvo_error_t* notice) {
    (void)context;
    kelvo_error_destroy(notice);
}

/* Each function as a pointer of the type that callers declare. */
#define PIN(name, result, arguments)      \
    {                                     \
        result(*pinned) arguments = name; \
        (void)pinned;                     \
    }

void pin_interface(void);
void pin_interface(void) {
    kelvo_notice_receiver_t receiver = on_notice;
    (void)receiver;
    /* error */
    PIN(kelvo_error_create, kelvo_error_t*, (uint32_t));
    PIN(kelvo_error_destroy, void, (kelvo_error_t*));
    PIN(kelvo_error_get_field, kelvo_error_t*, (const kelvo_error_t*, kelvo_error_field_key, kelvo_error_field_value*));
    PIN(kelvo_error_set_field, kelvo_error_t*, (kelvo_error_t*, kelvo_error_field_key, kelvo_error_field_value));
    /* log */
    PIN(kelvo_log_set_log_function, kelvo_log_function_t, (kelvo_log_function_t, void*));
    PIN(kelvo_log_set_log_level, kelvo_log_level_t, (kelvo_log_level_t));
    PIN(kelvo_log_event, void, (kelvo_log_level_t, const char*, const char*));
    PIN(kelvo_default_log_function, void, (kelvo_log_level_t, const char*, const char*, void*));
    /* string_list */
    PIN(kelvo_string_list_size, size_t, (const kelvo_string_list_t*));
    PIN(kelvo_string_list_at, const char*, (const kelvo_string_list_t*, int));
    PIN(kelvo_string_list_destroy, void, (kelvo_string_list_t*));
    /* parameters */
    PIN(kelvo_create_instance_parameters, kelvo_error_t*, (kelvo_parameters_t**, bool));
    PIN(kelvo_parameters_copy, kelvo_parameters_t*, (const kelvo_parameters_t*));
    PIN(kelvo_parameters_set, kelvo_error_t*, (kelvo_parameters_t*, const char*, const char*));
    PIN(kelvo_parameters_destroy, void, (kelvo_parameters_t*));
    PIN(kelvo_create_connection_parameters, kelvo_error_t*, (const struct kelvo_instance_t*, kelvo_parameters_t**));
    /* instance */
    PIN(kelvo_instance_create, kelvo_error_t*,
        (const char*, kelvo_telemetry_t, const kelvo_parameters_t*, kelvo_instance_t**));
    PIN(kelvo_instance_get_endpoint_descriptor, const char*, (const kelvo_instance_t*));
    PIN(kelvo_instance_get_exit_code, bool, (kelvo_instance_t*, int*));
    PIN(kelvo_instance_shutdown, kelvo_error_t*, (kelvo_instance_t*, int));
    PIN(kelvo_instance_close, void, (kelvo_instance_t*));
    /* types */
    PIN(kelvo_encode_numeric_modifier, kelvo_type_modifier_t, (uint32_t, uint32_t));
    PIN(kelvo_encode_string_modifier, kelvo_type_modifier_t, (uint32_t));
    PIN(kelvo_get_precision_from_modifier, uint32_t, (kelvo_type_modifier_t));
    PIN(kelvo_get_scale_from_modifier, uint32_t, (kelvo_type_modifier_t));
    PIN(kelvo_get_max_length_from_modifier, uint32_t, (kelvo_type_modifier_t));
    PIN(kelvo_create_table_definition, kelvo_table_definition_t*,
        (const char*, const char*, const char*, kelvo_table_persistence_t, bool));
    PIN(kelvo_destroy_table_definition, void, (kelvo_table_definition_t*));
    PIN(kelvo_copy_table_definition, kelvo_error_t*, (const kelvo_table_definition_t*, kelvo_table_definition_t**));
    PIN(kelvo_table_definition_add_column, kelvo_error_t*,
        (kelvo_table_definition_t*, const char*, kelvo_type_tag_t, kelvo_type_modifier_t, const char*, bool));
    PIN(kelvo_table_definition_database_name, const char*, (const kelvo_table_definition_t*));
    PIN(kelvo_table_definition_schema_name, const char*, (const kelvo_table_definition_t*));
    PIN(kelvo_table_definition_table_name, const char*, (const kelvo_table_definition_t*));
    PIN(kelvo_table_definition_table_persistence, kelvo_table_persistence_t, (const kelvo_table_definition_t*));
    PIN(kelvo_table_definition_column_count, size_t, (const kelvo_table_definition_t*));
    PIN(kelvo_table_definition_column_index, kelvo_field_index_t, (const kelvo_table_definition_t*, const char*));
    PIN(kelvo_table_definition_column_name, const char*, (const kelvo_table_definition_t*, kelvo_field_index_t));
    PIN(kelvo_table_definition_column_type_tag, kelvo_type_tag_t,
        (const kelvo_table_definition_t*, kelvo_field_index_t));
    PIN(kelvo_table_definition_column_type_oid, uint32_t, (const kelvo_table_definition_t*, kelvo_field_index_t));
    PIN(kelvo_table_definition_column_type_modifier, kelvo_type_modifier_t,
        (const kelvo_table_definition_t*, kelvo_field_index_t));
    PIN(kelvo_table_definition_column_is_nullable, bool, (const kelvo_table_definition_t*, kelvo_field_index_t));
    PIN(kelvo_table_definition_column_collation, const char*, (const kelvo_table_definition_t*, kelvo_field_index_t));
    /* values */
    PIN(kelvo_quote_sql_identifier, size_t, (char*, size_t, const char*, size_t));
    PIN(kelvo_quote_sql_literal, size_t, (char*, size_t, const char*, size_t));
    PIN(kelvo_encode_date, kelvo_date_t, (kelvo_date_components_t));
    PIN(kelvo_decode_date, kelvo_date_components_t, (kelvo_date_t));
    PIN(kelvo_encode_time, kelvo_time_t, (kelvo_time_components_t));
    PIN(kelvo_decode_time, kelvo_time_components_t, (kelvo_time_t));
    PIN(kelvo_encode_interval, kelvo_interval_t, (kelvo_interval_components_t));
    PIN(kelvo_decode_interval, kelvo_interval_components_t, (kelvo_interval_t));
    PIN(kelvo_parse_numeric, kelvo_error_t*, (const char**, const char*, uint32_t, uint32_t, int64_t*));
    /* copy */
    PIN(kelvo_write_header, size_t, (uint8_t*, size_t));
    PIN(kelvo_write_null, size_t, (uint8_t*, size_t));
    PIN(kelvo_write_int8, size_t, (uint8_t*, size_t, int8_t));
    PIN(kelvo_write_int8_not_null, size_t, (uint8_t*, size_t, int8_t));
    PIN(kelvo_write_int16, size_t, (uint8_t*, size_t, int16_t));
    PIN(kelvo_write_int16_not_null, size_t, (uint8_t*, size_t, int16_t));
    PIN(kelvo_write_int32, size_t, (uint8_t*, size_t, int32_t));
    PIN(kelvo_write_int32_not_null, size_t, (uint8_t*, size_t, int32_t));
    PIN(kelvo_write_int64, size_t, (uint8_t*, size_t, int64_t));
    PIN(kelvo_write_int64_not_null, size_t, (uint8_t*, size_t, int64_t));
    PIN(kelvo_write_data128, size_t, (uint8_t*, size_t, kelvo_data128_t));
    PIN(kelvo_write_data128_not_null, size_t, (uint8_t*, size_t, kelvo_data128_t));
    PIN(kelvo_write_varbinary, size_t, (uint8_t*, size_t, const uint8_t*, size_t));
    PIN(kelvo_write_varbinary_not_null, size_t, (uint8_t*, size_t, const uint8_t*, size_t));
    PIN(kelvo_read_int8, int8_t, (const uint8_t*));
    PIN(kelvo_read_int16, int16_t, (const uint8_t*));
    PIN(kelvo_read_int32, int32_t, (const uint8_t*));
    PIN(kelvo_read_int64, int64_t, (const uint8_t*));
    PIN(kelvo_read_data128, kelvo_data128_t, (const uint8_t*));
    PIN(kelvo_read_varbinary, const uint8_t*, (const uint8_t*));
    PIN(kelvo_create_data_chunk, kelvo_data_chunk_t*, (void));
    PIN(kelvo_resize_data_chunk, kelvo_error_t*, (kelvo_data_chunk_t*, size_t));
    PIN(kelvo_destroy_data_chunk, void, (kelvo_data_chunk_t*));
    PIN(kelvo_get_chunk_header_size, size_t, (const kelvo_data_chunk_t*));
    PIN(kelvo_get_chunk_data, uint8_t*, (const kelvo_data_chunk_t*));
    PIN(kelvo_get_chunk_data_size, size_t, (const kelvo_data_chunk_t*));
    /* connection */
    PIN(kelvo_connect, kelvo_error_t*, (const kelvo_parameters_t*, kelvo_connection_t**, kelvo_create_mode_t));
    PIN(kelvo_disconnect, void, (kelvo_connection_t*));
    PIN(kelvo_cancel, kelvo_error_t*, (kelvo_connection_t*));
    PIN(kelvo_ping, kelvo_error_t*, (const kelvo_parameters_t*, kelvo_ping_status_t*));
    PIN(kelvo_connection_status, kelvo_connection_status_t, (kelvo_connection_t*));
    PIN(kelvo_connection_is_ready, bool, (kelvo_connection_t*));
    PIN(kelvo_connection_parameter_status, const char*, (const kelvo_connection_t*, const char*));
    PIN(kelvo_set_chunked_mode, void, (kelvo_connection_t*, bool));
    PIN(kelvo_set_prefetch_threshold, void, (kelvo_connection_t*, size_t));
    PIN(kelvo_set_notice_receiver, kelvo_notice_receiver_t, (kelvo_connection_t*, kelvo_notice_receiver_t, void*));
    PIN(kelvo_get_schema_names, kelvo_error_t*, (kelvo_connection_t*, const char*, kelvo_string_list_t**));
    PIN(kelvo_get_table_names, kelvo_error_t*, (kelvo_connection_t*, const char*, const char*, kelvo_string_list_t**));
    PIN(kelvo_has_table, kelvo_error_t*, (kelvo_connection_t*, const char*, const char*, const char*, bool*));
    PIN(kelvo_get_table_definition, kelvo_error_t*,
        (kelvo_connection_t*, const char*, const char*, const char*, kelvo_table_definition_t**));
    PIN(kelvo_create_database, kelvo_error_t*, (kelvo_connection_t*, const char*, bool));
    PIN(kelvo_drop_database, kelvo_error_t*, (kelvo_connection_t*, const char*, bool));
    PIN(kelvo_attach_database, kelvo_error_t*, (kelvo_connection_t*, const char*, const char*));
    PIN(kelvo_detach_database, kelvo_error_t*, (kelvo_connection_t*, const char*));
    PIN(kelvo_detach_all_databases, kelvo_error_t*, (kelvo_connection_t*));
    PIN(kelvo_create_schema, kelvo_error_t*, (kelvo_connection_t*, const char*, const char*, bool));
    PIN(kelvo_create_table, kelvo_error_t*, (kelvo_connection_t*, const kelvo_table_definition_t*, bool));
    /* rowset */
    PIN(kelvo_execute_query, kelvo_error_t*, (kelvo_connection_t*, const char*, kelvo_rowset_t**));
    PIN(kelvo_execute_query_params, kelvo_error_t*,
        (kelvo_connection_t*, const char*, kelvo_rowset_result_format_t, kelvo_rowset_t**));
    PIN(kelvo_execute_command, kelvo_error_t*, (kelvo_connection_t*, const char*, int*));
    PIN(kelvo_prepare, kelvo_error_t*, (kelvo_connection_t*, const char*, const char*));
    PIN(kelvo_execute_prepared, kelvo_error_t*,
        (kelvo_connection_t*, const char*, kelvo_rowset_result_format_t, kelvo_rowset_t**));
    PIN(kelvo_close_rowset, void, (kelvo_rowset_t*));
    PIN(kelvo_rowset_get_table_definition, const kelvo_table_definition_t*, (const kelvo_rowset_t*));
    PIN(kelvo_rowset_get_affected_row_count, int64_t, (const kelvo_rowset_t*));
    PIN(kelvo_rowset_get_next_chunk, kelvo_error_t*, (kelvo_rowset_t*, kelvo_rowset_chunk_t**));
    PIN(kelvo_rowset_has_copy_data, bool, (const kelvo_rowset_t*));
    PIN(kelvo_rowset_get_copy_data, kelvo_error_t*, (kelvo_rowset_t*, char**, size_t*));
    PIN(kelvo_rowset_free_copy_data, void, (char*));
    PIN(kelvo_rowset_chunk_row_count, size_t, (const kelvo_rowset_chunk_t*));
    PIN(kelvo_rowset_chunk_field_value, kelvo_value_t,
        (const kelvo_rowset_chunk_t*, kelvo_row_index_t, kelvo_field_index_t));
    PIN(kelvo_rowset_chunk_field_value_byref, const uint8_t*,
        (const kelvo_rowset_chunk_t*, kelvo_row_index_t, kelvo_field_index_t, int*));
    PIN(kelvo_rowset_chunk_field_is_null, bool, (const kelvo_rowset_chunk_t*, kelvo_row_index_t, kelvo_field_index_t));
    PIN(kelvo_rowset_chunk_field_values, kelvo_error_t*,
        (kelvo_rowset_chunk_t*, size_t*, size_t*, const uint8_t* const**, const size_t**, const int8_t**));
    PIN(kelvo_destroy_rowset_chunk, void, (const kelvo_rowset_chunk_t*));
    /* inserter */
    PIN(kelvo_create_inserter, kelvo_error_t*,
        (kelvo_connection_t*, const kelvo_table_definition_t*, kelvo_inserter_t**));
    PIN(kelvo_inserter_insert_chunk, kelvo_error_t*, (kelvo_inserter_t*, const uint8_t*, size_t));
    PIN(kelvo_init_bulk_insert, kelvo_error_t*, (kelvo_inserter_t*, const kelvo_table_definition_t*, const char*));
    PIN(kelvo_insert_computed_expressions, kelvo_error_t*, (kelvo_inserter_t*, const char*));
    PIN(kelvo_close_inserter, kelvo_error_t*, (kelvo_inserter_t*, bool));
    PIN(kelvo_copy_data, kelvo_error_t*, (kelvo_connection_t*, const uint8_t*, int));
    PIN(kelvo_copy_end, kelvo_error_t*, (kelvo_connection_t*));
    PIN(kelvo_create_inserter_buffer, kelvo_error_t*,
        (kelvo_inserter_t*, const kelvo_table_definition_t*, const char*, kelvo_inserter_buffer_t**));
    PIN(kelvo_inserter_buffer_add_null, kelvo_error_t*, (kelvo_inserter_buffer_t*));
    PIN(kelvo_inserter_buffer_add_bool, kelvo_error_t*, (kelvo_inserter_buffer_t*, bool));
    PIN(kelvo_inserter_buffer_add_int16, kelvo_error_t*, (kelvo_inserter_buffer_t*, int16_t));
    PIN(kelvo_inserter_buffer_add_int32, kelvo_error_t*, (kelvo_inserter_buffer_t*, int32_t));
    PIN(kelvo_inserter_buffer_add_int64, kelvo_error_t*, (kelvo_inserter_buffer_t*, int64_t));
    PIN(kelvo_inserter_buffer_add_double, kelvo_error_t*, (kelvo_inserter_buffer_t*, double));
    PIN(kelvo_inserter_buffer_add_binary, kelvo_error_t*, (kelvo_inserter_buffer_t*, const uint8_t*, size_t));
    PIN(kelvo_inserter_buffer_add_date, kelvo_error_t*, (kelvo_inserter_buffer_t*, int32_t, int16_t, int16_t));
    PIN(kelvo_inserter_buffer_add_raw, kelvo_error_t*, (kelvo_inserter_buffer_t*, const uint8_t*, size_t));
    PIN(kelvo_inserter_buffer_flush, kelvo_error_t*, (kelvo_inserter_buffer_t*));
    PIN(kelvo_inserter_buffer_destroy, void, (kelvo_inserter_buffer_t*));
}
