// Date, time-of-day and interval values as they travel in the copy format and
// in binary results, and their conversion to and from calendar components.
// Pure arithmetic without library state, so that the server can share it.
#pragma once

#include <cstdint>

#include "infra/uint128.h"

namespace kelvoapi {

// Julian day number; 2000-01-01 is 2451545.
using date_t = uint32_t;
// Microseconds since midnight.
using time_t = uint64_t;
// data[0]: signed microseconds; data[1]: low 32 bits the signed day count,
// high 32 bits the signed month count.
using interval_t = uint128_t;

struct date_components {
    int32_t year;
    int16_t month;
    int16_t day;
};

struct time_components {
    int8_t hour;
    int8_t minute;
    int8_t second;
    int32_t microsecond;
};

struct interval_components {
    int32_t years;
    int32_t months;
    int32_t days;
    int32_t hours;
    int32_t minutes;
    int32_t seconds;
    int32_t microseconds;
};

// Proleptic Gregorian calendar, astronomical year numbering (year 0 exists).
// Components outside their calendar ranges go through the same formulas
// unchecked; every input gives some result without undefined behaviour.
date_t encode_date(date_components components);
date_components decode_date(date_t date);

time_t encode_time(time_components components);
time_components decode_time(time_t time);

interval_t encode_interval(interval_components components);
// Hours, minutes, seconds and microseconds carry the sign of the microsecond
// count. An hour count beyond the 32-bit range saturates at INT32_MAX (or its
// negation) instead of wrapping to a number of the wrong sign.
interval_components decode_interval(interval_t interval);

}  // namespace kelvoapi
