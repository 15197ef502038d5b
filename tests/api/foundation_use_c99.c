/* A C99 caller of the error, log and string-list functions: the names, values
 * and types must be what such a caller writes. Compiled only, never run. */
#include "kelvo/kelvo.h"

/* Fails to compile (negative array size) when a condition is false. */
#define CHECK(name, condition) typedef char check_##name[(condition) ? 1 : -1]

CHECK(category_generic, KELVO_ERROR_CATEGORY_GENERIC == 0);
CHECK(category_system, KELVO_ERROR_CATEGORY_SYSTEM == 1);
CHECK(category_exit_code, KELVO_ERROR_CATEGORY_PROCESS_EXIT_CODE == 3);
CHECK(category_sqlstate, KELVO_ERROR_CATEGORY_SQLSTATE == 4);
CHECK(severity, KELVO_SEVERITY_ERROR == 0 && KELVO_SEVERITY_FATAL == 1 && KELVO_SEVERITY_PANIC == 2);
CHECK(keys, KELVO_ERROR_FIELD_ERROR_CATEGORY == 0 && KELVO_ERROR_FIELD_ERROR_CODE == 1 &&
                KELVO_ERROR_FIELD_MESSAGE == 2 && KELVO_ERROR_FIELD_HINT_MESSAGE == 3 &&
                KELVO_ERROR_FIELD_SEVERITY == 4 && KELVO_ERROR_FIELD_SQL_STATE == 5 &&
                KELVO_ERROR_FIELD_CAUSE == 6 && KELVO_ERROR_FIELD_CONTEXT_ID == 7 &&
                KELVO_ERROR_FIELD_DETAIL == 8);
CHECK(levels, KELVO_LOG_LEVEL_TRACE == 0 && KELVO_LOG_LEVEL_INFO == 1 && KELVO_LOG_LEVEL_WARNING == 2 &&
                  KELVO_LOG_LEVEL_ERROR == 3 && KELVO_LOG_LEVEL_FATAL == 4);
CHECK(value_layout, offsetof(kelvo_error_field_value, discriminator) == 0 &&
                        offsetof(kelvo_error_field_value, value) >= sizeof(int));

static void hook(kelvo_log_level_t level, const char* topic, const char* value, void* context) {
    (void)level;
    (void)topic;
    (void)value;
    (void)context;
}

int use_foundation(void);
int use_foundation(void) {
    kelvo_error_t* error = kelvo_error_create(7u);
    kelvo_error_field_value value;
    kelvo_log_function_t previous = kelvo_log_set_log_function(hook, NULL);
    kelvo_log_level_t level = kelvo_log_set_log_level(KELVO_LOG_LEVEL_TRACE);
    const kelvo_string_list_t* list = NULL;
    size_t size = list ? kelvo_string_list_size(list) : 0u;
    const char* text = list ? kelvo_string_list_at(list, 0) : NULL;

    value.discriminator = 1;
    value.value.string = "m";
    kelvo_error_destroy(kelvo_error_set_field(error, KELVO_ERROR_FIELD_MESSAGE, value));
    kelvo_error_destroy(kelvo_error_get_field(error, KELVO_ERROR_FIELD_CONTEXT_ID, &value));
    kelvo_log_event(KELVO_LOG_LEVEL_INFO, "topic", "value");
    kelvo_default_log_function(level, "topic", text ? text : "", NULL);
    kelvo_log_set_log_function(previous, NULL);
    kelvo_string_list_destroy(NULL);
    kelvo_error_destroy(error);
    return (int)size + (int)value.value.uinteger;
}
