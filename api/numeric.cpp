// The numeric text parser (see numeric.h).
#include "api/numeric.h"

#include <cstddef>

#include "error/context_ids.h"
#include "error/error.h"
#include "error/sqlstate.h"

namespace kelvoapi {

namespace {

constexpr uint64_t powers_of_ten[19] = {1ULL,
                                        10ULL,
                                        100ULL,
                                        1000ULL,
                                        10000ULL,
                                        100000ULL,
                                        1000000ULL,
                                        10000000ULL,
                                        100000000ULL,
                                        1000000000ULL,
                                        10000000000ULL,
                                        100000000000ULL,
                                        1000000000000ULL,
                                        10000000000000ULL,
                                        100000000000000ULL,
                                        1000000000000000ULL,
                                        10000000000000000ULL,
                                        100000000000000000ULL,
                                        1000000000000000000ULL};
// The int64 result holds 18 digits whatever the precision says.
constexpr size_t max_digits = 18;
// Exponents are below 19 and written in at most six characters.
constexpr uint32_t max_exponent = 18;
constexpr size_t max_exponent_text = 6;

bool IsWhiteSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

[[noreturn]] void ThrowEmpty() {
    throw Error(kelvo::make_error_code(kelvo::Sqlstate::SyntaxError), "invalid number format: input string is empty",
                ContextIds::NumericEmpty);
}
[[noreturn]] void ThrowInvalidCharacter() {
    throw Error(kelvo::make_error_code(kelvo::Sqlstate::SyntaxError),
                "invalid number format: invalid character in numeric string", ContextIds::NumericInvalidCharacter);
}
[[noreturn]] void ThrowInvalidExponent() {
    throw Error(kelvo::make_error_code(kelvo::Sqlstate::SyntaxError), "invalid number format: invalid exponent value",
                ContextIds::NumericInvalidExponent);
}
[[noreturn]] void ThrowOverflow() {
    throw Error(kelvo::make_error_code(kelvo::Sqlstate::NumericValueOutOfRange), "numeric overflow",
                ContextIds::NumericOverflow);
}

// The sign of a mantissa or an exponent in [p, end), which is not empty: a
// leading '-' or enclosing parentheses make it negative, a leading '+' is
// dropped. A '(' without a closing ')' stays, to be refused as a character.
bool ConsumeSign(const char*& p, const char*& end) {
    if (*p == '(' && end[-1] == ')') {
        ++p;
        --end;
        return true;
    }
    if (*p == '-' || *p == '+') {
        return *p++ == '-';
    }
    return false;
}

// The mantissa's digits as they are read. `value` may wrap for long texts, but
// only when `significant` exceeds 18, and such a value is always refused.
struct Digits {
    uint64_t value = 0;
    // Digits in `value` from its first non-zero one on.
    size_t significant = 0;
    // Digits behind the point up to the last non-zero one.
    size_t fraction = 0;

    void Append(char c) {
        value = value * 10 + static_cast<uint64_t>(c - '0');
        if (significant != 0 || c != '0') {
            ++significant;
        }
    }
    // Digits before the point, not counting leading zeros.
    size_t Integer() const { return significant > fraction ? significant - fraction : 0; }
};

// The exponent text behind the 'e': 1 to 6 characters, an optional '+' or '-'
// or enclosing parentheses (negative), then only digits, below 19.
int32_t ParseExponent(const char* p, const char* end) {
    const size_t length = static_cast<size_t>(end - p);
    if (length < 1 || length > max_exponent_text) {
        ThrowInvalidExponent();
    }
    const bool negative = ConsumeSign(p, end);
    if (p == end) {
        ThrowInvalidExponent();
    }
    uint32_t exponent = 0;
    for (; p != end; ++p) {
        if (!IsDigit(*p)) {
            ThrowInvalidExponent();
        }
        exponent = exponent * 10 + static_cast<uint32_t>(*p - '0');
    }
    if (exponent > max_exponent) {
        ThrowInvalidExponent();
    }
    return negative ? -static_cast<int32_t>(exponent) : static_cast<int32_t>(exponent);
}

void ApplyExponent(Digits& digits, int32_t exponent) {
    if (exponent < 0) {
        digits.fraction += static_cast<size_t>(-exponent);
        return;
    }
    const auto shift = static_cast<size_t>(exponent);
    if (shift <= digits.fraction) {
        digits.fraction -= shift;
        return;
    }
    const size_t zeros = shift - digits.fraction;
    digits.value *= powers_of_ten[zeros];
    if (digits.significant != 0) {
        digits.significant += zeros;
    }
    digits.fraction = 0;
}

}  // namespace

int64_t parseNumeric(const char*& iter, const char* limit, uint32_t precision, uint32_t scale) {
    const char*& p = iter;
    const char* end = limit;
    if (p >= end) {
        ThrowEmpty();
    }
    while (p != end && IsWhiteSpace(*p)) {
        ++p;
    }
    if (p == end) {
        ThrowEmpty();
    }
    while (IsWhiteSpace(end[-1])) {
        --end;
    }
    // Whatever else happens, a closing parenthesis or trailing blanks that end
    // the number count as consumed only on success.
    const char* const consumedEnd = end;

    const bool negative = ConsumeSign(p, end);
    if (p == end) {
        ThrowEmpty();
    }

    bool sawDigit = false;
    while (p != end && *p == '0') {
        sawDigit = true;
        ++p;
    }
    Digits digits;
    while (p != end && IsDigit(*p)) {
        sawDigit = true;
        digits.Append(*p);
        ++p;
    }
    if (p != end && *p == '.') {
        ++p;
        const char* fractionBegin = p;
        const char* lastNonZero = nullptr;
        while (p != end && IsDigit(*p)) {
            if (*p != '0') {
                lastNonZero = p;
            }
            ++p;
        }
        sawDigit = sawDigit || p != fractionBegin;
        if (lastNonZero != nullptr) {
            for (const char* q = fractionBegin; q <= lastNonZero; ++q) {
                digits.Append(*q);
            }
            digits.fraction = static_cast<size_t>(lastNonZero - fractionBegin) + 1;
        }
    }
    // "." and "e5" hold no digit at all: they are not numbers.
    if (!sawDigit) {
        ThrowInvalidCharacter();
    }
    if (p != end) {
        if (*p != 'e' && *p != 'E') {
            ThrowInvalidCharacter();
        }
        ++p;
        const int32_t exponent = ParseExponent(p, end);
        p = end;
        ApplyExponent(digits, exponent);
    }

    const size_t integer = digits.Integer();
    if (digits.fraction > scale) {
        ThrowOverflow();
    }
    if (integer > static_cast<uint32_t>(precision - scale)) {
        ThrowOverflow();
    }
    // Holds within the contract (precision up to 18); guards the table index
    // and the int64 result when a caller passes more.
    if (integer + scale > max_digits) {
        ThrowOverflow();
    }
    p = consumedEnd;
    const uint64_t magnitude = digits.value * powers_of_ten[scale - digits.fraction];
    return negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
}

}  // namespace kelvoapi
