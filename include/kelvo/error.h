/* kelvo: error functions of the C interface.
 *
 * Every function of the library that can fail returns a kelvo_error_t*: null on
 * success, else a new error object that the caller owns and frees with
 * kelvo_error_destroy. Its fields are read and changed through
 * kelvo_error_get_field and kelvo_error_set_field. */
#ifndef KELVO_ERROR_H
#define KELVO_ERROR_H

#include "kelvo/common.h"

KELVO_EXTERN_C_BEGIN

/* How the code value of an error is read. The value 2 is not used. */
typedef enum kelvo_error_category_t {
    KELVO_ERROR_CATEGORY_GENERIC = 0,
    KELVO_ERROR_CATEGORY_SYSTEM = 1,
    KELVO_ERROR_CATEGORY_PROCESS_EXIT_CODE = 3,
    KELVO_ERROR_CATEGORY_SQLSTATE = 4
} kelvo_error_category_t;

typedef enum kelvo_error_severity_t {
    KELVO_SEVERITY_ERROR = 0,
    KELVO_SEVERITY_FATAL = 1,
    KELVO_SEVERITY_PANIC = 2
} kelvo_error_severity_t;

typedef enum kelvo_error_field_key {
    KELVO_ERROR_FIELD_ERROR_CATEGORY = 0,
    KELVO_ERROR_FIELD_ERROR_CODE = 1,
    KELVO_ERROR_FIELD_MESSAGE = 2,
    KELVO_ERROR_FIELD_HINT_MESSAGE = 3,
    KELVO_ERROR_FIELD_SEVERITY = 4,
    KELVO_ERROR_FIELD_SQL_STATE = 5,
    KELVO_ERROR_FIELD_CAUSE = 6,
    KELVO_ERROR_FIELD_CONTEXT_ID = 7,
    KELVO_ERROR_FIELD_DETAIL = 8
} kelvo_error_field_key;

/* discriminator: 0 integer, 1 string, 2 pointer, 3 uinteger. */
typedef struct kelvo_error_field_value {
    int discriminator;
    union {
        int integer;
        const char* string;
        void* pointer;
        uint32_t uinteger;
    } value;
} kelvo_error_field_value;

/* A new error with SQLSTATE "00000", empty texts and the given context id;
 * null when memory runs out. */
KELVO_API kelvo_error_t* kelvo_error_create(uint32_t context_id);

/* Frees the error and its whole cause chain; null is ignored. */
KELVO_API void kelvo_error_destroy(kelvo_error_t* error);

/* Texts and causes delivered stay owned by the error and remain valid until
 * that field is changed or the error is destroyed. A null error or value is
 * refused with code 22 of the generic category ("Invalid `error`",
 * "Invalid `value`"), like an unknown key. */
KELVO_API kelvo_error_t* kelvo_error_get_field(const kelvo_error_t* error, kelvo_error_field_key key,
                                               kelvo_error_field_value* value);

/* The key alone decides which member of the value is read. Setting CAUSE hands
 * the given error over to this one; the error itself or a link of its own
 * cause chain is refused. A null error is refused as in kelvo_error_get_field. */
KELVO_API kelvo_error_t* kelvo_error_set_field(kelvo_error_t* error, kelvo_error_field_key key,
                                               kelvo_error_field_value value);

KELVO_EXTERN_C_END

#endif
