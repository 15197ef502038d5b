/* kelvo: log functions of the C interface.
 *
 * The library writes no log of its own: it hands each event (a level, a topic
 * and a value text, usually JSON) to one process-wide hook that the
 * application installs. kelvo_default_log_function is a ready-made hook that
 * prints to standard error. */
#ifndef KELVO_LOG_H
#define KELVO_LOG_H

#include "kelvo/common.h"

KELVO_EXTERN_C_BEGIN

typedef enum kelvo_log_level_t {
    KELVO_LOG_LEVEL_TRACE = 0,
    KELVO_LOG_LEVEL_INFO = 1,
    KELVO_LOG_LEVEL_WARNING = 2,
    KELVO_LOG_LEVEL_ERROR = 3,
    KELVO_LOG_LEVEL_FATAL = 4
} kelvo_log_level_t;

/* A hook must not throw; it may be called from several threads at once. */
typedef void (*kelvo_log_function_t)(kelvo_log_level_t level, const char* topic, const char* value, void* context);

/* Installs the hook and its context (null switches delivery off); returns the
 * previous hook. */
KELVO_API kelvo_log_function_t kelvo_log_set_log_function(kelvo_log_function_t log_function, void* context);

/* Sets the minimum level delivered (INFO at start); returns the previous one. */
KELVO_API kelvo_log_level_t kelvo_log_set_log_level(kelvo_log_level_t level);

/* Delivers one event to the hook unless its level is below the minimum. */
KELVO_API void kelvo_log_event(kelvo_log_level_t level, const char* topic, const char* value);

/* Prints "[Level] topic<TAB>value" and a newline to standard error with one
 * write; the context is ignored. */
KELVO_API void kelvo_default_log_function(kelvo_log_level_t level, const char* topic, const char* value, void* context);

KELVO_EXTERN_C_END

#endif
