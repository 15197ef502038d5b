// Numeric text through kelvo_parse_numeric: accepted and refused texts with
// their values, SQLSTATEs, messages and the position left behind.
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "kelvo/error.h"
#include "kelvo/values.h"

namespace {

struct ErrorFields {
    std::string sqlstate;
    std::string message;
    uint32_t contextId = 0;
};

ErrorFields ReadAndFree(kelvo_error_t* error) {
    ErrorFields fields;
    kelvo_error_field_value value;
    EXPECT_EQ(kelvo_error_get_field(error, KELVO_ERROR_FIELD_SQL_STATE, &value), nullptr);
    fields.sqlstate = value.value.string;
    EXPECT_EQ(kelvo_error_get_field(error, KELVO_ERROR_FIELD_MESSAGE, &value), nullptr);
    fields.message = value.value.string;
    EXPECT_EQ(kelvo_error_get_field(error, KELVO_ERROR_FIELD_CONTEXT_ID, &value), nullptr);
    fields.contextId = value.value.uinteger;
    kelvo_error_destroy(error);
    return fields;
}

struct Accepted {
    std::string text;
    uint32_t precision;
    uint32_t scale;
    int64_t value;
};

TEST(ParseNumeric, AcceptsDecimalTexts) {
    const Accepted cases[] = {
        {"12.34", 10, 2, 1234},
        {"  -12.5 ", 10, 2, -1250},
        {"(12.5)", 10, 2, -1250},
        {"+0012", 10, 2, 1200},
        {"0.", 10, 2, 0},
        {".5", 10, 2, 50},
        {"-.05", 10, 2, -5},
        {"\t\n\v\f\r 7 \r\n", 3, 0, 7},
        {"1e3", 10, 2, 100000},
        {"1.5E-1", 10, 2, 15},
        {"12.5e(1)", 10, 2, 125},
        {"1.25e1", 10, 2, 1250},
        {"999999999999999999", 18, 0, 999999999999999999},
        {"0.999999999999999999", 18, 18, 999999999999999999},
        {"(0.000000000000000001)", 18, 18, -1},
        // Judged by significant digits: zeros moved across the point by the
        // exponent are not digits of the value.
        {"0e9", 3, 2, 0},
        {"0.05e2", 3, 2, 500},
        {"000.0012e3", 2, 1, 12},
    };
    for (const Accepted& c : cases) {
        SCOPED_TRACE(c.text);
        const char* iter = c.text.data();
        int64_t value = -42;
        kelvo_error_t* error = kelvo_parse_numeric(&iter, c.text.data() + c.text.size(), c.precision, c.scale, &value);
        if (error != nullptr) {
            ADD_FAILURE() << ReadAndFree(error).message;
            continue;
        }
        EXPECT_EQ(value, c.value);
    }
}

struct Refused {
    std::string text;
    uint32_t precision;
    uint32_t scale;
    const char* sqlstate;
    const char* message;
    uint32_t contextId;
};

constexpr const char* empty_message = "invalid number format: input string is empty";
constexpr const char* character_message = "invalid number format: invalid character in numeric string";
constexpr const char* exponent_message = "invalid number format: invalid exponent value";

TEST(ParseNumeric, RefusesMalformedAndOversizedTexts) {
    const Refused cases[] = {
        {"", 10, 2, "42601", empty_message, 0x3d605416},
        {"-", 10, 2, "42601", empty_message, 0x3d605416},
        {"()", 10, 2, "42601", empty_message, 0x3d605416},
        {"12a", 10, 2, "42601", character_message, 0x38c394ab},
        {"(12", 10, 2, "42601", character_message, 0x38c394ab},
        {"--1", 10, 2, "42601", character_message, 0x38c394ab},
        // Without a single digit there is no number.
        {".", 10, 2, "42601", character_message, 0x38c394ab},
        {"e5", 10, 2, "42601", character_message, 0x38c394ab},
        {"(e1)", 10, 2, "42601", character_message, 0x38c394ab},
        {"1e", 10, 2, "42601", exponent_message, 0xb44e1dd0},
        {"1e19", 10, 2, "42601", exponent_message, 0xb44e1dd0},
        {"1e0000001", 10, 2, "42601", exponent_message, 0xb44e1dd0},
        {"12.345", 10, 2, "22003", "numeric overflow", 0x1850391f},
        {"5e-3", 10, 2, "22003", "numeric overflow", 0x1850391f},
        {"0.05e2", 3, 3, "22003", "numeric overflow", 0x1850391f},
        {"1000000000000000000", 18, 0, "22003", "numeric overflow", 0x1850391f},
        // Far more digits than 64 bits hold: refused, never wrapped.
        {std::string(400, '9'), 18, 2, "22003", "numeric overflow", 0x1850391f},
        {"0." + std::string(400, '1'), 18, 18, "22003", "numeric overflow", 0x1850391f},
        {std::string(30, '9') + "e18", 18, 0, "22003", "numeric overflow", 0x1850391f},
        // A scale beyond the precision is outside the contract, but the result
        // still cannot leave the 18 digits of an int64.
        {"123456789012345678901234", 5, 10, "22003", "numeric overflow", 0x1850391f},
        {"1", 18, 25, "22003", "numeric overflow", 0x1850391f},
    };
    for (const Refused& c : cases) {
        SCOPED_TRACE(c.text);
        const char* iter = c.text.data();
        int64_t value = -42;
        kelvo_error_t* error = kelvo_parse_numeric(&iter, c.text.data() + c.text.size(), c.precision, c.scale, &value);
        if (error == nullptr) {
            ADD_FAILURE() << "accepted as " << value;
            continue;
        }
        const ErrorFields fields = ReadAndFree(error);
        EXPECT_EQ(fields.sqlstate, c.sqlstate);
        EXPECT_EQ(fields.message, c.message);
        EXPECT_EQ(fields.contextId, c.contextId);
        EXPECT_EQ(value, -42) << "the result is written only on success";
        EXPECT_GE(iter, c.text.data());
        EXPECT_LE(iter, c.text.data() + c.text.size());
    }
}

TEST(ParseNumeric, LeavesThePositionBehindTheNumber) {
    struct Case {
        std::string text;
        size_t end;
        size_t consumed;
    };
    const Case cases[] = {
        {"12.5  ", 6, 4},
        {"  12.5", 6, 6},
        // Only the given range is read: no NUL terminator is needed.
        {"12.5xyz", 4, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const char* iter = c.text.data();
        int64_t value = 0;
        kelvo_error_t* error = kelvo_parse_numeric(&iter, c.text.data() + c.end, 10, 2, &value);
        ASSERT_EQ(error, nullptr);
        EXPECT_EQ(iter - c.text.data(), static_cast<std::ptrdiff_t>(c.consumed));
    }
    const std::string leading = "   ";
    const char* iter = leading.data();
    int64_t value = 0;
    kelvo_error_destroy(kelvo_parse_numeric(&iter, leading.data() + leading.size(), 10, 2, &value));
    EXPECT_EQ(iter, leading.data() + leading.size()) << "leading white space is consumed";
}

}  // namespace
