// Calendar arithmetic for dates, times and intervals (see date_time.h).
#include "infra/date_time.h"

#include <cstdint>
#include <limits>

namespace kelvoapi {

namespace {

constexpr uint64_t kMicrosPerHour = 3600000000ULL;
constexpr uint64_t kMicrosPerMinute = 60000000ULL;
constexpr uint64_t kMicrosPerSecond = 1000000ULL;

}  // namespace

// The day-number formulas (encode_date's too) run entirely in unsigned
// 32-bit arithmetic with truncating division: the supported years keep every
// intermediate value positive, and anything else wraps instead of overflowing.
date_components decode_date(date_t date) {
    const uint32_t J = date;
    const uint32_t b = (4u * (J + 32044u) + 3u) / 146097u;
    const uint32_t c = J + 32044u - (146097u * b) / 4u;
    const uint32_t e = (4u * c + 3u) / 1461u;
    const uint32_t f = c - (1461u * e) / 4u;
    const uint32_t m = (5u * f + 2u) / 153u;
    date_components result;
    result.day = static_cast<int16_t>(f - (153u * m + 2u) / 5u + 1u);
    result.month = static_cast<int16_t>(m + 3u - 12u * (m / 10u));
    result.year = static_cast<int32_t>(100u * b + e - 4800u + m / 10u);
    return result;
}

time_t encode_time(time_components components) {
    // Each component is sign-extended and the sum taken modulo 2^64.
    return static_cast<uint64_t>(static_cast<int64_t>(components.hour)) * kMicrosPerHour +
           static_cast<uint64_t>(static_cast<int64_t>(components.minute)) * kMicrosPerMinute +
           static_cast<uint64_t>(static_cast<int64_t>(components.second)) * kMicrosPerSecond +
           static_cast<uint64_t>(static_cast<int64_t>(components.microsecond));
}

time_components decode_time(time_t time) {
    time_components result;
    result.hour = static_cast<int8_t>(time / kMicrosPerHour);
    result.minute = static_cast<int8_t>((time / kMicrosPerMinute) % 60u);
    result.second = static_cast<int8_t>((time / kMicrosPerSecond) % 60u);
    result.microsecond = static_cast<int32_t>(time % kMicrosPerSecond);
    return result;
}

interval_t encode_interval(interval_components c) {
    // 32-bit components cannot overflow the signed 64-bit sum: at most
    // 2^31 * 3.6e9 + 2^31 * 6e7 + 2^31 * 1e6 + 2^31, about 7.9e18.
    const int64_t micros = static_cast<int64_t>(c.hours) * static_cast<int64_t>(kMicrosPerHour) +
                           static_cast<int64_t>(c.minutes) * static_cast<int64_t>(kMicrosPerMinute) +
                           static_cast<int64_t>(c.seconds) * static_cast<int64_t>(kMicrosPerSecond) +
                           static_cast<int64_t>(c.microseconds);
    // The month count wraps modulo 2^32 like the field that stores it, and is
    // widened before the shift so that a negative count cannot overflow it.
    const uint32_t months = static_cast<uint32_t>(c.years) * 12u + static_cast<uint32_t>(c.months);
    interval_t result;
    result.data[0] = static_cast<uint64_t>(micros);
    result.data[1] = (static_cast<uint64_t>(months) << 32) | static_cast<uint64_t>(static_cast<uint32_t>(c.days));
    return result;
}

interval_components decode_interval(interval_t interval) {
    interval_components result;
    const int32_t monthCount = static_cast<int32_t>(static_cast<uint32_t>(interval.data[1] >> 32));
    result.years = monthCount / 12;
    result.months = monthCount - 12 * result.years;
    result.days = static_cast<int32_t>(static_cast<uint32_t>(interval.data[1]));

    // The magnitude is taken in unsigned arithmetic so that INT64_MIN, whose
    // negation has no signed 64-bit form, decodes like any other count.
    const uint64_t raw = interval.data[0];
    const bool negative = static_cast<int64_t>(raw) < 0;
    const uint64_t u = negative ? 0u - raw : raw;
    const uint64_t hours = u / kMicrosPerHour;
    constexpr uint64_t kMaxHours = static_cast<uint64_t>(std::numeric_limits<int32_t>::max());
    const int32_t h = static_cast<int32_t>(hours < kMaxHours ? hours : kMaxHours);
    const int32_t m = static_cast<int32_t>((u / kMicrosPerMinute) % 60u);
    const int32_t s = static_cast<int32_t>((u / kMicrosPerSecond) % 60u);
    const int32_t us = static_cast<int32_t>(u % kMicrosPerSecond);
    result.hours = negative ? -h : h;
    result.minutes = negative ? -m : m;
    result.seconds = negative ? -s : s;
    result.microseconds = negative ? -us : us;
    return result;
}

}  // namespace kelvoapi
