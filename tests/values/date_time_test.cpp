// Dates, times and intervals through the C interface: exact day numbers,
// round trips over the whole range, and interval signs and extremes.
#include <cstdint>
#include <limits>
#include <tuple>

#include <gtest/gtest.h>

#include "kelvo/values.h"

namespace {

bool IsLeapYear(int32_t year) {
    // Astronomical numbering: year 0 and -4 are leap years.
    const int32_t y = year < 0 ? -year : year;
    return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
}

int DaysInMonth(int32_t year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : days[month - 1];
}

// Walks every calendar day from day number 0 (-4713-11-24) to 9999-12-31 and
// checks both directions against a calendar counted day by day, anchored to
// day numbers from Python: datetime.date(y, m, d).toordinal() + 1721425.
TEST(DateCodec, RoundTripsEveryDayOfTheSupportedRange) {
    int32_t year = -4713;
    int month = 11;
    int day = 24;
    uint32_t expected = 0;
    size_t mismatches = 0;
    for (;;) {
        const kelvo_date_components_t components{year, static_cast<int16_t>(month), static_cast<int16_t>(day)};
        const kelvo_date_components_t decoded = kelvo_decode_date(expected);
        if (kelvo_encode_date(components) != expected || decoded.year != year || decoded.month != month ||
            decoded.day != day) {
            if (++mismatches < 5)
                ADD_FAILURE() << "day number " << expected << " is " << year << "-" << month << "-" << day;
        }
        if (year == 1970 && month == 1 && day == 1) {
            EXPECT_EQ(expected, 2440588u);
        }
        if (year == 9999 && month == 12 && day == 31)
            break;
        ++expected;
        if (++day > DaysInMonth(year, month)) {
            day = 1;
            if (++month > 12) {
                month = 1;
                ++year;
            }
        }
    }
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(expected, 5373484u);
    // Day numbers and components far beyond the calendar go through unsigned
    // arithmetic; the sanitizers would report any overflow.
    for (const uint32_t number : {std::numeric_limits<uint32_t>::max(), 0x80000000u, 1073709000u})
        (void)kelvo_decode_date(number);
    (void)kelvo_encode_date({std::numeric_limits<int32_t>::min(), 13, 0});
    (void)kelvo_encode_date({std::numeric_limits<int32_t>::max(), -1, -1});
}

TEST(TimeCodec, EncodesAndDecodesComponents) {
    struct Case {
        int8_t hour, minute, second;
        int32_t microsecond;
        uint64_t encoded;
    };
    const Case cases[] = {{0, 0, 0, 0, 0}, {12, 34, 56, 789012, 45296789012}, {23, 59, 59, 999999, 86399999999}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.encoded);
        EXPECT_EQ(kelvo_encode_time({c.hour, c.minute, c.second, c.microsecond}), c.encoded);
        const kelvo_time_components_t d = kelvo_decode_time(c.encoded);
        EXPECT_EQ(std::tie(d.hour, d.minute, d.second, d.microsecond),
                  std::tie(c.hour, c.minute, c.second, c.microsecond));
    }
    EXPECT_EQ(kelvo_decode_time(86400000000u).hour, 24);  // 24:00:00 ends a day
}

auto Fields(const kelvo_interval_components_t& c) {
    return std::make_tuple(c.years, c.months, c.days, c.hours, c.minutes, c.seconds, c.microseconds);
}

// Each case is the stored layout (microseconds; month count and days) and the
// components it decodes to; where they say the same, encoding gives it back.
TEST(IntervalCodec, EncodesAndDecodesTheStoredLayout) {
    constexpr int32_t min32 = std::numeric_limits<int32_t>::min();
    constexpr int32_t max32 = std::numeric_limits<int32_t>::max();
    enum Direction { Both, DecodeOnly, EncodeOnly };
    struct Case {
        const char* name;
        int64_t micros;
        int32_t monthCount, days;
        kelvo_interval_components_t components;
        Direction direction;
    };
    const Case cases[] = {
        {"mixed signs", -3723000004LL, 26, 5, {2, 2, 5, -1, -2, -3, -4}, Both},
        // Negative months are widened before the shift.
        {"minus one month", 0, -1, 0, {0, -1, 0, 0, 0, 0, 0}, Both},
        {"smallest month count", 0, min32, min32, {-178956970, -8, min32, 0, 0, 0, 0}, Both},
        {"largest 32-bit hours",
         2147483647LL * 3600000000LL + 3599999999LL,
         0,
         0,
         {0, 0, 0, max32, 59, 59, 999999},
         Both},
        {"smallest 32-bit hours",
         -2147483648LL * 3600000000LL - 3599999999LL,
         0,
         0,
         {0, 0, 0, min32, -59, -59, -999999},
         EncodeOnly},
        // Beyond the 32-bit hour range the hours saturate and keep their sign.
        {"INT64_MAX", std::numeric_limits<int64_t>::max(), 0, 0, {0, 0, 0, max32, 0, 54, 775807}, DecodeOnly},
        {"INT64_MIN", std::numeric_limits<int64_t>::min(), 0, 0, {0, 0, 0, -max32, 0, -54, -775808}, DecodeOnly},
        // The month count wraps like its 32-bit field instead of overflowing.
        {"extreme years", 0, static_cast<int32_t>(2147483647u * 12u), 0, {max32, 0, 0, 0, 0, 0, 0}, EncodeOnly},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kelvo_interval_t value;
        value.data[0] = static_cast<uint64_t>(c.micros);
        value.data[1] =
            (static_cast<uint64_t>(static_cast<uint32_t>(c.monthCount)) << 32) | static_cast<uint32_t>(c.days);
        if (c.direction != EncodeOnly) {
            EXPECT_EQ(Fields(kelvo_decode_interval(value)), Fields(c.components));
        }
        if (c.direction != DecodeOnly) {
            const kelvo_interval_t encoded = kelvo_encode_interval(c.components);
            EXPECT_EQ(encoded.data[0], value.data[0]);
            EXPECT_EQ(encoded.data[1], value.data[1]);
        }
    }
}

}  // namespace
