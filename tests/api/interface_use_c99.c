/* A C99 caller's view of the interface: enumerator values, scalar widths and
 * the layout and member types of records passed by value are pinned, so a
 * change fails to compile here before it breaks a caller at run time. The
 * functions' prototypes are pinned by check_exports.sh. Compiled only, never
 * run. */
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

/* The call-back type a caller's function must match. */
void pin_receiver(void);
void pin_receiver(void) {
    kelvo_notice_receiver_t receiver = on_notice;
    (void)receiver;
}
