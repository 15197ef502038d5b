// PostgreSQL's text output of the engine's values, case by case.
#include <gtest/gtest.h>

#include <limits>

#include "kelvod/values/value_encoding.h"

using namespace kelvod;

TEST(KelvodValueText, DatesTimesIntervalsNumbersAndBytes) {
    struct {
        std::string got, expected;
    } cases[] = {
        {FormatDate(-719162), "0001-01-01"},
        {FormatDate(-719163), "0001-12-31 BC"},
        {FormatDate(2932896), "9999-12-31"},
        {FormatDate(std::numeric_limits<int32_t>::max()), "infinity"},
        {FormatTime(0), "00:00:00"},
        {FormatTimestamp(-1, false), "1969-12-31 23:59:59.999999"},
        {FormatTimestamp(946684800000000, true), "2000-01-01 00:00:00+00"},
        {FormatTimestamp(-62135596800000000 - 86400000000, false), "0001-12-31 00:00:00 BC"},
        {FormatInterval(-14, 0, 0), "-1 years -2 mons"},
        {FormatInterval(0, 0, -1), "-00:00:00.000001"},
        {FormatInterval(1, 1, 0), "1 mon 1 day"},
        {FormatInterval(0, 0, 720000000000), "200:00:00"},
        {FormatDouble(-2.5e-10), "-2.5e-10"},
        {FormatDouble(1e300 * 1e10), "Infinity"},
        {FormatDouble(1e20), "1e+20"},
        {FormatDouble(1e15), "1e+15"},
        {FormatDouble(1e14), "100000000000000"},
        {FormatDouble(123456789012345678.0), "1.2345678901234568e+17"},
        {FormatDouble(0.0001), "0.0001"},
        {FormatDouble(0.00001), "1e-05"},
        {FormatDouble(0.0), "0"},
        {FormatDouble(-0.0), "-0"},
        {FormatScaled(-5, 3), "-0.005"},
        {FormatScaled(0, 0), "0"},
        {FormatScaled(static_cast<__int128>(1) << 100, 0), "1267650600228229401496703205376"},
        {FormatBytea("\x00\xff\x10", 3), "\\x00ff10"},
        {FormatBytea("", 0), "\\x"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.got, c.expected);
}
