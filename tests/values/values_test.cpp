// The value exports: dates, times, intervals, numeric text, and identifier and
// literal quoting with its size query.
#include <cstdint>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "api/quoting.h"
#include "kelvo/error.h"
#include "kelvo/values.h"
#include "support/error_ptr.h"

namespace {

using namespace std::string_literals;

// Every calendar day from day number 0 (-4713-11-24) to 9999-12-31, both
// ways, against the C library's proleptic calendar (astronomical years, as
// ours); day 2440588 is the Unix epoch.
TEST(DateCodec, RoundTripsEveryDayOfTheSupportedRange) {
    size_t mismatches = 0;
    for (uint32_t number = 0; number <= 5373484; ++number) {
        const time_t seconds = (static_cast<time_t>(number) - 2440588) * 86400;
        std::tm day{};
        gmtime_r(&seconds, &day);
        const kelvo_date_components_t expected{day.tm_year + 1900, static_cast<int16_t>(day.tm_mon + 1),
                                               static_cast<int16_t>(day.tm_mday)};
        const kelvo_date_components_t decoded = kelvo_decode_date(number);
        if ((kelvo_encode_date(expected) != number || decoded.year != expected.year ||
             decoded.month != expected.month || decoded.day != expected.day) &&
            ++mismatches < 5)
            ADD_FAILURE() << "day number " << number << " is " << expected.year << "-" << expected.month << "-"
                          << expected.day;
    }
    EXPECT_EQ(mismatches, 0u);
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
    constexpr int64_t hour = 3600000000LL;
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
        {"largest 32-bit hours", max32 * hour + hour - 1, 0, 0, {0, 0, 0, max32, 59, 59, 999999}, Both},
        {"smallest 32-bit hours", min32 * hour - hour + 1, 0, 0, {0, 0, 0, min32, -59, -59, -999999}, EncodeOnly},
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

// A refusal is named by a letter: E(mpty), C(haracter), X (exponent), O(verflow).
std::string Describe(kelvo_error_t* returned) {
    const kelvotest::ErrorPtr owned(returned);
    const kelvoapi::Error& error = kelvotest::AsError(owned);
    const std::string text = error.GetSqlstate() + " " + error.GetMessage();
    const uint32_t contextId = error.GetContextId().value;
    if (text == "42601 invalid number format: input string is empty" && contextId == 0x3d605416)
        return "E";
    if (text == "42601 invalid number format: invalid character in numeric string" && contextId == 0x38c394ab)
        return "C";
    if (text == "42601 invalid number format: invalid exponent value" && contextId == 0xb44e1dd0)
        return "X";
    if (text == "22003 numeric overflow" && contextId == 0x1850391f)
        return "O";
    return text;
}

TEST(ParseNumeric, AcceptsAndRefusesTexts) {
    struct Case {
        std::string text;
        uint32_t precision, scale;
        std::string outcome;  // the value, or the letter of the refusal
    };
    const Case cases[] = {
        {"(12.5)", 10, 2, "-1250"},
        {"+0012", 10, 2, "1200"},
        {"-.05", 10, 2, "-5"},
        {"\t\n\v\f\r 7 \r\n", 3, 0, "7"},
        {"1.5E-1", 10, 2, "15"},
        {"12.5e(1)", 10, 2, "125"},
        {"999999999999999999", 18, 0, "999999999999999999"},
        // Judged by significant digits: zeros moved across the point by the
        // exponent are not digits of the value.
        {"0e9", 3, 2, "0"},
        {"0.05e2", 3, 2, "500"},
        {"0.05e2", 3, 3, "O"},
        {"-", 10, 2, "E"},
        {"12a", 10, 2, "C"},
        {"(12", 10, 2, "C"},
        // Without a single digit there is no number.
        {".", 10, 2, "C"},
        {"1e", 10, 2, "X"},
        {"1e19", 10, 2, "X"},
        {"1e0000001", 10, 2, "X"},
        {"12.345", 10, 2, "O"},
        {"1000000000000000000", 18, 0, "O"},
        // Far more digits than 64 bits hold: refused, never wrapped.
        {std::string(400, '9'), 18, 2, "O"},
        {"0." + std::string(400, '1'), 18, 18, "O"},
        {std::string(30, '9') + "e18", 18, 0, "O"},
        // A scale beyond the precision is outside the contract, but the result
        // still cannot leave the 18 digits of an int64.
        {"123456789012345678901234", 5, 10, "O"},
        {"1", 18, 25, "O"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const char* iter = c.text.data();
        int64_t value = -42;
        kelvo_error_t* error = kelvo_parse_numeric(&iter, c.text.data() + c.text.size(), c.precision, c.scale, &value);
        EXPECT_EQ(error ? Describe(error) : std::to_string(value), c.outcome);
        if (error) {
            EXPECT_EQ(value, -42) << "the result is written only on success";
        }
        EXPECT_LE(iter, c.text.data() + c.text.size());
    }
    // The position is left behind the number; only the given range is read,
    // so no NUL terminator is needed.
    const std::tuple<std::string, size_t, size_t> positions[] = {
        {"12.5  ", 6, 4}, {"  12.5", 6, 6}, {"12.5xyz", 4, 4}, {"   ", 3, 3}};
    for (const auto& [text, end, consumed] : positions) {
        const char* iter = text.data();
        int64_t value = 0;
        kelvo_error_destroy(kelvo_parse_numeric(&iter, text.data() + end, 10, 2, &value));
        EXPECT_EQ(iter - text.data(), static_cast<std::ptrdiff_t>(consumed)) << text;
    }
}

TEST(Quoting, QuotesEveryEscapeClass) {
    const std::pair<std::string, std::string> identifiers[] = {
        {"a\\b", "\"a\\b\""},
        {"a\0b"s, "\"a\0b\""s},
        {"\r\n", "U&\"\\000D\\000A\""},
        {"x\\y\n", "U&\"x\\\\y\\000A\""},
    };
    for (const auto& [text, quoted] : identifiers)
        EXPECT_EQ(kelvoapi::QuoteIdentifier(text), quoted) << text;
    const std::pair<std::string, std::string> literals[] = {
        {"a\tb\n", "E'a\\tb\\n'"}, {"a\vb", "E'a\\013b'"},     {"\x01\x32", "E'\\0012'"},
        {"\x7f", "'\x7f'"},        {"it's\\", "E'it''s\\\\'"}, {"\xff\x80", "'\xff\x80'"},
    };
    for (const auto& [text, quoted] : literals)
        EXPECT_EQ(kelvoapi::QuoteStringLiteral(text), quoted) << text;
}

using QuoteFunction = size_t (*)(char*, size_t, const char*, size_t);

TEST(QuoteExports, AnswerTheSizeQueryAndCopyOnlyWhatFits) {
    struct Case {
        const char* name;
        QuoteFunction quote;
        std::string text;
        std::string quoted;
    };
    const Case cases[] = {
        {"identifier", kelvo_quote_sql_identifier, "ab\"c", "\"ab\"\"c\""},
        {"literal", kelvo_quote_sql_literal, "it's", "'it''s'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t needed = c.quoted.size();
        EXPECT_EQ(c.quote(nullptr, 0, c.text.data(), c.text.size()), needed);

        std::vector<char> small(needed - 1, '#');
        EXPECT_EQ(c.quote(small.data(), small.size(), c.text.data(), c.text.size()), needed);
        EXPECT_EQ(std::string(small.begin(), small.end()), std::string(needed - 1, '#'));

        // Exact fit: no terminator is written behind the text.
        std::vector<char> exact(needed + 1, '#');
        EXPECT_EQ(c.quote(exact.data(), needed, c.text.data(), c.text.size()), needed);
        EXPECT_EQ(std::string(exact.data(), needed), c.quoted);
        EXPECT_EQ(exact[needed], '#');
    }
    // The length alone bounds the text: embedded and missing NULs are fine.
    char buffer[8];
    EXPECT_EQ(kelvo_quote_sql_identifier(buffer, sizeof buffer, "ab\0c", 4), 6u);
    EXPECT_EQ(std::memcmp(buffer, "\"ab\0c\"", 6), 0);
    EXPECT_EQ(kelvo_quote_sql_literal(buffer, sizeof buffer, "abcdef", 2), 4u);
    EXPECT_EQ(std::memcmp(buffer, "'ab'", 4), 0);
    EXPECT_EQ(kelvo_quote_sql_literal(buffer, sizeof buffer, nullptr, 0), 2u);
}

}  // namespace
