/* kelvo: parameters functions of the C interface.
 *
 * A parameter set is a table of name-to-value texts that configures a server
 * instance or a database connection. The caller owns every set that it
 * receives and frees it with kelvo_parameters_destroy. */
#ifndef KELVO_PARAMETERS_H
#define KELVO_PARAMETERS_H

#include "kelvo/common.h"

KELVO_EXTERN_C_BEGIN

typedef struct kelvo_parameters_t kelvo_parameters_t;

/* A new instance parameter set: empty, or filled with the instance defaults
 * (including a fresh random database file in the temporary directory) when
 * use_defaults is true. *parameters is written only on success. */
KELVO_API kelvo_error_t* kelvo_create_instance_parameters(kelvo_parameters_t** parameters, bool use_defaults);

/* A new set with the same entries, or null when memory runs out or the set
 * is null. */
KELVO_API kelvo_parameters_t* kelvo_parameters_copy(const kelvo_parameters_t* parameters);

/* Sets or replaces one entry. Names may contain neither '-' nor capital
 * letters; on failure the set is unchanged. A null set, key or value is
 * refused with code 22 of the generic category. */
KELVO_API kelvo_error_t* kelvo_parameters_set(kelvo_parameters_t* parameters, const char* key, const char* value);

/* Frees the set and all its entries. */
KELVO_API void kelvo_parameters_destroy(kelvo_parameters_t* parameters);

struct kelvo_instance_t;

/* A new set of the connection defaults, with the endpoint of instance_ when
 * it is not null. *parameters is written only on success. */
KELVO_API kelvo_error_t* kelvo_create_connection_parameters(const struct kelvo_instance_t* instance_,
                                                            kelvo_parameters_t** parameters);

KELVO_EXTERN_C_END

#endif
