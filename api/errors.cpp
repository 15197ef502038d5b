// The error functions of the C interface.
#include <cstring>
#include <new>

#include "error/context_ids.h"
#include "error/error.h"
#include "error/frame.h"
#include "kelvo/error.h"

namespace {

// The key travels as the caller's int; it is read as an unsigned number
// without ever holding an out-of-range value in the enumeration type.
unsigned KeyValue(kelvo_error_field_key key) noexcept {
    int raw = 0;
    std::memcpy(&raw, &key, sizeof raw < sizeof key ? sizeof raw : sizeof key);
    return static_cast<unsigned>(raw);
}

}  // namespace

kelvo_error_t* kelvo_error_create(uint32_t context_id) {
    return new (std::nothrow) kelvoapi::Error(kelvo::make_error_code(kelvo::Sqlstate::SuccessfulCompletion), {},
                                              kelvoapi::ContextId{context_id}, 0);
}

void kelvo_error_destroy(kelvo_error_t* error) { delete static_cast<kelvoapi::Error*>(error); }

kelvo_error_t* kelvo_error_get_field(const kelvo_error_t* error, kelvo_error_field_key key,
                                     kelvo_error_field_value* value) {
    return kelvoapi::WrapErrorThrowingBlock(
        [&] { static_cast<const kelvoapi::Error*>(error)->GetField(KeyValue(key), value); },
        kelvoapi::ContextIds::ErrorGetField);
}

kelvo_error_t* kelvo_error_set_field(kelvo_error_t* error, kelvo_error_field_key key, kelvo_error_field_value value) {
    return kelvoapi::WrapErrorThrowingBlock(
        [&] { static_cast<kelvoapi::Error*>(error)->SetField(KeyValue(key), value); },
        kelvoapi::ContextIds::ErrorSetField);
}
