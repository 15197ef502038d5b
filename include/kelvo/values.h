/* kelvo: values functions of the C interface: quoting of SQL identifiers and
 * literals, dates, times, intervals and numerics. */
#ifndef KELVO_VALUES_H
#define KELVO_VALUES_H

#include "kelvo/common.h"

KELVO_EXTERN_C_BEGIN

/* A 128-bit value as two 64-bit words; in the copy format and in binary
 * results data[0] comes first, each word little-endian. */
typedef struct kelvo_data128_t {
    uint64_t data[2];
} kelvo_data128_t;

/* data[0]: signed 64-bit microseconds; data[1]: low 32 bits the signed day
 * count, high 32 bits the signed month count (a year counts as 12 months). */
typedef kelvo_data128_t kelvo_interval_t;

/* Julian day number: 2000-01-01 is 2451545. */
typedef uint32_t kelvo_date_t;

/* Microseconds since midnight. */
typedef uint64_t kelvo_time_t;

typedef struct kelvo_date_components_t {
    int32_t year;
    int16_t month;
    int16_t day;
} kelvo_date_components_t;

typedef struct kelvo_time_components_t {
    int8_t hour;
    int8_t minute;
    int8_t second;
    int32_t microsecond;
} kelvo_time_components_t;

typedef struct kelvo_interval_components_t {
    int32_t years;
    int32_t months;
    int32_t days;
    int32_t hours;
    int32_t minutes;
    int32_t seconds;
    int32_t microseconds;
} kelvo_interval_components_t;

/* Quote `text` (`length` bytes) as an SQL identifier or string literal. The
 * quoted text is copied to `target`, without a terminating NUL, only when its
 * length is at most `size`; the return value is always the quoted length. Pass
 * a size of 0 (target may then be null) to learn the size needed. Returns 0
 * only when memory runs out. */
KELVO_API size_t kelvo_quote_sql_identifier(char* target, size_t size, const char* text, size_t length);
KELVO_API size_t kelvo_quote_sql_literal(char* target, size_t size, const char* text, size_t length);

/* Dates use the proleptic Gregorian calendar (year 0 exists). The encoders and
 * decoders never fail; components outside their calendar ranges give
 * unspecified results. */
KELVO_API kelvo_date_t kelvo_encode_date(kelvo_date_components_t components);
KELVO_API kelvo_date_components_t kelvo_decode_date(kelvo_date_t date);
KELVO_API kelvo_time_t kelvo_encode_time(kelvo_time_components_t components);
KELVO_API kelvo_time_components_t kelvo_decode_time(kelvo_time_t time);
KELVO_API kelvo_interval_t kelvo_encode_interval(kelvo_interval_components_t components);
/* Hours, minutes, seconds and microseconds carry the sign of the microsecond
 * count; an hour count beyond the 32-bit range saturates at INT32_MAX or
 * -INT32_MAX. */
KELVO_API kelvo_interval_components_t kelvo_decode_interval(kelvo_interval_t interval);

/* Parse the decimal text from *iter up to limit (no NUL needed) into a
 * NUMERIC(precision, scale) value scaled by 10^scale. Accepts surrounding
 * white space, a leading sign or enclosing parentheses (negative), a fraction
 * and an exponent below 19. *result is written only on success; *iter points
 * behind the last character consumed either way. Precision and scale are at
 * most 18. Errors: SQLSTATE 42601 for malformed text, 22003 for a value that
 * does not fit, code 22 of the generic category for a null iter or result,
 * or for only one of *iter and limit null (both null is an empty text). */
KELVO_API kelvo_error_t* kelvo_parse_numeric(const char** iter, const char* limit, uint32_t precision, uint32_t scale,
                                             int64_t* result);

KELVO_EXTERN_C_END

#endif
