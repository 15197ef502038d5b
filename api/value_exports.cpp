// The C entry points of type modifiers, quoting, dates, times, intervals,
// numerics and the copy-format codecs.
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "api/kelvobinary.h"
#include "api/numeric.h"
#include "api/quoting.h"
#include "api/type.h"
#include "error/context_ids.h"
#include "error/frame.h"
#include "error/invalid_argument.h"
#include "infra/date_time.h"
#include "kelvo/copy.h"
#include "kelvo/types.h"
#include "kelvo/values.h"

kelvo_type_modifier_t kelvo_encode_numeric_modifier(uint32_t precision, uint32_t scale) {
    return kelvoapi::EncodeNumericModifier(precision, scale);
}
kelvo_type_modifier_t kelvo_encode_string_modifier(uint32_t max_length) {
    return kelvoapi::EncodeStringModifier(max_length);
}
uint32_t kelvo_get_precision_from_modifier(kelvo_type_modifier_t modifier) {
    return kelvoapi::PrecisionFromModifier(modifier);
}
uint32_t kelvo_get_scale_from_modifier(kelvo_type_modifier_t modifier) { return kelvoapi::ScaleFromModifier(modifier); }
uint32_t kelvo_get_max_length_from_modifier(kelvo_type_modifier_t modifier) {
    return kelvoapi::MaxLengthFromModifier(modifier);
}

namespace {

template <typename Quote>
size_t QuoteInto(Quote quote, char* target, size_t size, const char* text, size_t length) {
    try {
        const std::string quoted = quote(text == nullptr ? std::string_view() : std::string_view(text, length));
        if (quoted.size() <= size && target != nullptr) {
            std::memcpy(target, quoted.data(), quoted.size());
        }
        return quoted.size();
    } catch (...) {
        // Out of memory (or a length beyond what a string can hold): nothing
        // may unwind into a C caller, and 0 is this interface's failure.
        return 0;
    }
}

}  // namespace

size_t kelvo_quote_sql_identifier(char* target, size_t size, const char* text, size_t length) {
    return QuoteInto(kelvoapi::QuoteIdentifier, target, size, text, length);
}

size_t kelvo_quote_sql_literal(char* target, size_t size, const char* text, size_t length) {
    return QuoteInto(kelvoapi::QuoteStringLiteral, target, size, text, length);
}

kelvo_date_t kelvo_encode_date(kelvo_date_components_t components) { return kelvoapi::encode_date(components); }
kelvo_date_components_t kelvo_decode_date(kelvo_date_t date) { return kelvoapi::decode_date(date); }
kelvo_time_t kelvo_encode_time(kelvo_time_components_t components) { return kelvoapi::encode_time(components); }
kelvo_time_components_t kelvo_decode_time(kelvo_time_t time) { return kelvoapi::decode_time(time); }
kelvo_interval_t kelvo_encode_interval(kelvo_interval_components_t components) {
    return kelvoapi::encode_interval(components);
}
kelvo_interval_components_t kelvo_decode_interval(kelvo_interval_t interval) {
    return kelvoapi::decode_interval(interval);
}

kelvo_error_t* kelvo_parse_numeric(const char** iter, const char* limit, uint32_t precision, uint32_t scale,
                                   int64_t* result) {
    return kelvoapi::WrapErrorThrowingBlock(
        [&] {
            kelvoapi::ThrowIfNull(iter, "iter", kelvoapi::ContextIds::ParseNumeric);
            // Two null pointers are an empty text (as an empty string_view
            // gives them); one alone leaves no range to read.
            if (limit != nullptr)
                kelvoapi::ThrowIfNull(*iter, "iter", kelvoapi::ContextIds::ParseNumeric);
            if (*iter != nullptr)
                kelvoapi::ThrowIfNull(limit, "limit", kelvoapi::ContextIds::ParseNumeric);
            kelvoapi::ThrowIfNull(result, "result", kelvoapi::ContextIds::ParseNumeric);
            *result = kelvoapi::parseNumeric(*iter, limit, precision, scale);
        },
        kelvoapi::ContextIds::ParseNumeric);
}

size_t kelvo_write_header(uint8_t* destination, size_t space) {
    return kelvoapi::kelvobinary_store_header({destination, space});
}
size_t kelvo_write_null(uint8_t* destination, size_t space) {
    return kelvoapi::kelvobinary_store_null({destination, space});
}
size_t kelvo_write_int8(uint8_t* destination, size_t space, int8_t value) {
    return kelvoapi::kelvobinary_store_i8({destination, space}, value);
}
size_t kelvo_write_int8_not_null(uint8_t* destination, size_t space, int8_t value) {
    return kelvoapi::kelvobinary_store_i8_not_nullable({destination, space}, value);
}
size_t kelvo_write_int16(uint8_t* destination, size_t space, int16_t value) {
    return kelvoapi::kelvobinary_store_i16({destination, space}, value);
}
size_t kelvo_write_int16_not_null(uint8_t* destination, size_t space, int16_t value) {
    return kelvoapi::kelvobinary_store_i16_not_nullable({destination, space}, value);
}
size_t kelvo_write_int32(uint8_t* destination, size_t space, int32_t value) {
    return kelvoapi::kelvobinary_store_i32({destination, space}, value);
}
size_t kelvo_write_int32_not_null(uint8_t* destination, size_t space, int32_t value) {
    return kelvoapi::kelvobinary_store_i32_not_nullable({destination, space}, value);
}
size_t kelvo_write_int64(uint8_t* destination, size_t space, int64_t value) {
    return kelvoapi::kelvobinary_store_i64({destination, space}, value);
}
size_t kelvo_write_int64_not_null(uint8_t* destination, size_t space, int64_t value) {
    return kelvoapi::kelvobinary_store_i64_not_nullable({destination, space}, value);
}
size_t kelvo_write_data128(uint8_t* destination, size_t space, kelvo_data128_t value) {
    return kelvoapi::kelvobinary_store_u128({destination, space}, value);
}
size_t kelvo_write_data128_not_null(uint8_t* destination, size_t space, kelvo_data128_t value) {
    return kelvoapi::kelvobinary_store_u128_not_nullable({destination, space}, value);
}
size_t kelvo_write_varbinary(uint8_t* destination, size_t space, const uint8_t* value, size_t length) {
    return kelvoapi::kelvobinary_store_varbinary({destination, space}, value, length);
}
size_t kelvo_write_varbinary_not_null(uint8_t* destination, size_t space, const uint8_t* value, size_t length) {
    return kelvoapi::kelvobinary_store_varbinary_not_nullable({destination, space}, value, length);
}

int8_t kelvo_read_int8(const uint8_t* source) { return kelvoapi::kelvobinary_load_i8(source); }
int16_t kelvo_read_int16(const uint8_t* source) { return kelvoapi::kelvobinary_load_i16(source); }
int32_t kelvo_read_int32(const uint8_t* source) { return kelvoapi::kelvobinary_load_i32(source); }
int64_t kelvo_read_int64(const uint8_t* source) { return kelvoapi::kelvobinary_load_i64(source); }
kelvo_data128_t kelvo_read_data128(const uint8_t* source) { return kelvoapi::kelvobinary_load_u128(source); }
const uint8_t* kelvo_read_varbinary(const uint8_t* source) { return source; }
