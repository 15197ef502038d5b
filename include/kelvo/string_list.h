/* kelvo: string list functions of the C interface.
 *
 * Lists of names (schemas, tables) come back as a kelvo_string_list_t that the
 * caller owns and frees with kelvo_string_list_destroy; its texts belong to
 * the list. */
#ifndef KELVO_STRING_LIST_H
#define KELVO_STRING_LIST_H

#include "kelvo/common.h"

KELVO_EXTERN_C_BEGIN

typedef struct kelvo_string_list_t kelvo_string_list_t;

/* The number of strings. */
KELVO_API size_t kelvo_string_list_size(const kelvo_string_list_t* string_list);

/* The NUL-terminated text at index, owned by the list; null for an index
 * outside 0 to size - 1. */
KELVO_API const char* kelvo_string_list_at(const kelvo_string_list_t* string_list, int index);

/* Frees the list and its texts; null is ignored. */
KELVO_API void kelvo_string_list_destroy(kelvo_string_list_t* string_list);

KELVO_EXTERN_C_END

#endif
