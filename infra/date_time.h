// Date, time-of-day and interval values as they travel in the copy format and
// in binary results, and their conversion to and from calendar components.
// Pure arithmetic without library state, so that the server can share it.
#pragma once

#include <cstdint>

#include "kelvo/values.h"

namespace kelvoapi {

// The C interface's value types under their internal names: one definition
// serves both, so the exports pass values through unchanged.
using date_t = kelvo_date_t;
using time_t = kelvo_time_t;
using interval_t = kelvo_interval_t;
using date_components = kelvo_date_components_t;
using time_components = kelvo_time_components_t;
using interval_components = kelvo_interval_components_t;

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
