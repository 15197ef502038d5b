/* kelvo example: what an application does with the library.
 *
 * For now: make an error object, fill and read its fields, print them, and
 * log an event through the ready-made hook that writes to standard error. */
#include <stdio.h>

#include "kelvo/kelvo.h"

static const char* field_text(const kelvo_error_t* error, kelvo_error_field_key key) {
    kelvo_error_field_value value;
    kelvo_error_t* failure = kelvo_error_get_field(error, key, &value);
    if (failure != NULL) {
        kelvo_error_destroy(failure);
        return "?";
    }
    return value.value.string;
}

static int field_integer(const kelvo_error_t* error, kelvo_error_field_key key) {
    kelvo_error_field_value value;
    kelvo_error_t* failure = kelvo_error_get_field(error, key, &value);
    if (failure != NULL) {
        kelvo_error_destroy(failure);
        return -1;
    }
    return value.value.integer;
}

static int set_field(kelvo_error_t* error, kelvo_error_field_key key, kelvo_error_field_value value) {
    kelvo_error_t* failure = kelvo_error_set_field(error, key, value);
    if (failure != NULL) {
        fprintf(stderr, "setting field %d failed: %s\n", (int)key, field_text(failure, KELVO_ERROR_FIELD_MESSAGE));
        kelvo_error_destroy(failure);
        return 0;
    }
    return 1;
}

int main(void) {
    kelvo_error_t* error = kelvo_error_create(0x0e5a4d1eu);
    kelvo_error_t* cause = kelvo_error_create(0x1u);
    kelvo_error_field_value value;
    kelvo_error_field_value read;
    kelvo_error_t* failure;

    if (error == NULL || cause == NULL) {
        fprintf(stderr, "out of memory\n");
        return 1;
    }

    value.discriminator = 0;
    value.value.integer = 30139776; /* HY000 in the sqlstate category */
    if (!set_field(error, KELVO_ERROR_FIELD_ERROR_CODE, value)) return 1;
    value.discriminator = 1;
    value.value.string = "The example could not find its table.";
    if (!set_field(error, KELVO_ERROR_FIELD_MESSAGE, value)) return 1;
    value.value.string = "Create the table first.";
    if (!set_field(error, KELVO_ERROR_FIELD_HINT_MESSAGE, value)) return 1;
    value.discriminator = 2;
    value.value.pointer = cause; /* the error owns its cause from here on */
    if (!set_field(error, KELVO_ERROR_FIELD_CAUSE, value)) return 1;

    printf("SQLSTATE: %s\n", field_text(error, KELVO_ERROR_FIELD_SQL_STATE));
    printf("Category: %d\n", field_integer(error, KELVO_ERROR_FIELD_ERROR_CATEGORY));
    printf("Message: %s\n", field_text(error, KELVO_ERROR_FIELD_MESSAGE));
    printf("Hint: %s\n", field_text(error, KELVO_ERROR_FIELD_HINT_MESSAGE));
    printf("Severity: %d\n", field_integer(error, KELVO_ERROR_FIELD_SEVERITY));
    failure = kelvo_error_get_field(error, KELVO_ERROR_FIELD_CONTEXT_ID, &read);
    if (failure == NULL) printf("Context id: 0x%x\n", (unsigned)read.value.uinteger);
    kelvo_error_destroy(failure);
    failure = kelvo_error_get_field(error, KELVO_ERROR_FIELD_CAUSE, &read);
    if (failure == NULL && read.value.pointer != NULL)
        printf("Caused by an error with SQLSTATE %s\n", field_text((const kelvo_error_t*)read.value.pointer,
                                                                 KELVO_ERROR_FIELD_SQL_STATE));
    kelvo_error_destroy(failure);

    /* The library logs nothing until a hook is installed. */
    kelvo_log_set_log_function(kelvo_default_log_function, NULL);
    kelvo_log_event(KELVO_LOG_LEVEL_WARNING, "example", field_text(error, KELVO_ERROR_FIELD_MESSAGE));
    kelvo_log_set_log_function(NULL, NULL);

    kelvo_error_destroy(error); /* frees the cause with it */
    return 0;
}
