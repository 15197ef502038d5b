// The error functions of the C interface.
#include <cstring>
#include <new>

#include "error/context_ids.h"
#include "error/error.h"
#include "error/frame.h"
#include "error/invalid_argument.h"
#include "kelvo/error.h"

namespace {

// A C caller may pass any int as the key. Loading a value outside the
// enumerators from an enumeration-typed object is undefined in C++, so the key
// is copied out as raw bytes before anything reads it.
unsigned KeyValue(const kelvo_error_field_key& key) noexcept {
    static_assert(sizeof(unsigned) == sizeof(kelvo_error_field_key));
    unsigned raw = 0;
    std::memcpy(&raw, &key, sizeof raw);
    return raw;
}

}  // namespace

kelvo_error_t* kelvo_error_create(uint32_t context_id) {
    return new (std::nothrow) kelvoapi::Error(kelvo::make_error_code(kelvo::Sqlstate::SuccessfulCompletion), {},
                                              kelvoapi::ContextId{context_id}, 0);
}

void kelvo_error_destroy(kelvo_error_t* error) { delete static_cast<kelvoapi::Error*>(error); }

kelvo_error_t* kelvo_error_get_field(const kelvo_error_t* error, kelvo_error_field_key key,
                                     kelvo_error_field_value* value) {
    const unsigned rawKey = KeyValue(key);
    return kelvoapi::WrapErrorThrowingBlock(
        [&] {
            kelvoapi::ThrowIfNull(error, "error", kelvoapi::ContextIds::ErrorGetField);
            kelvoapi::ThrowIfNull(value, "value", kelvoapi::ContextIds::ErrorGetField);
            static_cast<const kelvoapi::Error*>(error)->GetField(rawKey, value);
        },
        kelvoapi::ContextIds::ErrorGetField);
}

kelvo_error_t* kelvo_error_set_field(kelvo_error_t* error, kelvo_error_field_key key, kelvo_error_field_value value) {
    const unsigned rawKey = KeyValue(key);
    return kelvoapi::WrapErrorThrowingBlock(
        [&] {
            kelvoapi::ThrowIfNull(error, "error", kelvoapi::ContextIds::ErrorSetField);
            static_cast<kelvoapi::Error*>(error)->SetField(rawKey, value);
        },
        kelvoapi::ContextIds::ErrorSetField);
}
