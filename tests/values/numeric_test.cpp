// Numeric text through kelvo_parse_numeric: accepted and refused texts with
// their values, SQLSTATEs, messages and the position left behind.
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "kelvo/error.h"
#include "kelvo/values.h"
#include "support/error_ptr.h"

namespace {

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
}

TEST(ParseNumeric, LeavesThePositionBehindTheNumber) {
    struct Case {
        std::string text;
        size_t end, consumed;
    };
    // Only the given range is read: no NUL terminator is needed.
    const Case cases[] = {{"12.5  ", 6, 4}, {"  12.5", 6, 6}, {"12.5xyz", 4, 4}, {"   ", 3, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const char* iter = c.text.data();
        int64_t value = 0;
        kelvo_error_destroy(kelvo_parse_numeric(&iter, c.text.data() + c.end, 10, 2, &value));
        EXPECT_EQ(iter - c.text.data(), static_cast<std::ptrdiff_t>(c.consumed));
    }
}

}  // namespace
