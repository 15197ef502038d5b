/* kelvo: declarations shared by every area of the C interface. */
#ifndef KELVO_COMMON_H
#define KELVO_COMMON_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define KELVO_API __attribute__((visibility("default")))
#else
#define KELVO_API
#endif

#ifdef __cplusplus
#define KELVO_EXTERN_C_BEGIN extern "C" {
#define KELVO_EXTERN_C_END }
#else
#define KELVO_EXTERN_C_BEGIN
#define KELVO_EXTERN_C_END
#endif

KELVO_EXTERN_C_BEGIN

/* An error object; every function that can fail returns one (null on success),
 * and the caller frees it with kelvo_error_destroy. */
typedef struct kelvo_error_t kelvo_error_t;

KELVO_EXTERN_C_END

#endif
