/* kelvo: instance functions of the C interface.
 *
 * An instance is the caller's handle on one started kelvod server. It is
 * released by kelvo_instance_close or kelvo_instance_shutdown; both free the
 * handle, also when shutting down reports an error. */
#ifndef KELVO_INSTANCE_H
#define KELVO_INSTANCE_H

#include "kelvo/common.h"
#include "kelvo/parameters.h"

KELVO_EXTERN_C_BEGIN

typedef struct kelvo_instance_t kelvo_instance_t;

typedef enum kelvo_telemetry_t { KELVO_DISABLE_TELEMETRY = 0, KELVO_ENABLE_TELEMETRY = 1 } kelvo_telemetry_t;

/* Starts a server from the directory kelvo_path (null or "" finds it next to
 * the library) with a copy of parameters (null takes the instance defaults)
 * and waits until it serves. *instance_ is written only on success. */
KELVO_API kelvo_error_t* kelvo_instance_create(const char* kelvo_path, kelvo_telemetry_t telemetry,
                                               const kelvo_parameters_t* parameters, kelvo_instance_t** instance_);

/* The endpoint descriptor the server serves on, valid as long as the
 * instance; "" for an instance without a server. */
KELVO_API const char* kelvo_instance_get_endpoint_descriptor(const kelvo_instance_t* instance_);

/* False while the server runs (and when its exit status is not available);
 * true with its exit status, or the number of the signal that ended it,
 * once it has ended. */
KELVO_API bool kelvo_instance_get_exit_code(kelvo_instance_t* instance_, int* exit_code);

/* Stops the server and frees the handle. timeoutMs 0 kills it at once and
 * reports nothing; a negative value waits without limit; a positive one
 * waits that long and then kills it, reporting HYT00. A non-zero exit code
 * is reported as HY000. */
KELVO_API kelvo_error_t* kelvo_instance_shutdown(kelvo_instance_t* instance_, int timeoutMs);

/* Stops the server (waiting up to 5 s before killing it) and frees the
 * handle; reports nothing. */
KELVO_API void kelvo_instance_close(kelvo_instance_t* instance_);

KELVO_EXTERN_C_END

#endif
