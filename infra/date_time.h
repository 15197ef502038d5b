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
// Inline: the inserter buffer encodes a date per cell.
inline date_t encode_date(date_components components) {
    const uint32_t y = static_cast<uint32_t>(components.year);
    const uint32_t m = static_cast<uint32_t>(static_cast<int32_t>(components.month));
    const uint32_t d = static_cast<uint32_t>(static_cast<int32_t>(components.day));
    const uint32_t a = (14u - m) / 12u;
    const uint32_t Y = y + 4800u - a;
    const uint32_t M = m + 12u * a - 3u;
    return d + (153u * M + 2u) / 5u + 365u * Y + Y / 4u - Y / 100u + Y / 400u - 32045u;
}
date_components decode_date(date_t date);

time_t encode_time(time_components components);
time_components decode_time(time_t time);

interval_t encode_interval(interval_components components);
// Hours, minutes, seconds and microseconds carry the sign of the microsecond
// count. An hour count beyond the 32-bit range saturates at INT32_MAX (or its
// negation) instead of wrapping to a number of the wrong sign.
interval_components decode_interval(interval_t interval);

}  // namespace kelvoapi
