// Each touches its arguments, so that the caller must pass them, and returns
// no error.
#include "empty_adds.h"

kelvo_error_t* empty_add_null(kelvo_inserter_buffer_t* buffer) {
    asm volatile("" : : "r"(buffer));
    return nullptr;
}
kelvo_error_t* empty_add_bool(kelvo_inserter_buffer_t* buffer, bool value) {
    asm volatile("" : : "r"(buffer), "r"(value));
    return nullptr;
}
kelvo_error_t* empty_add_int16(kelvo_inserter_buffer_t* buffer, int16_t value) {
    asm volatile("" : : "r"(buffer), "r"(value));
    return nullptr;
}
kelvo_error_t* empty_add_int32(kelvo_inserter_buffer_t* buffer, int32_t value) {
    asm volatile("" : : "r"(buffer), "r"(value));
    return nullptr;
}
kelvo_error_t* empty_add_int64(kelvo_inserter_buffer_t* buffer, int64_t value) {
    asm volatile("" : : "r"(buffer), "r"(value));
    return nullptr;
}
kelvo_error_t* empty_add_double(kelvo_inserter_buffer_t* buffer, double value) {
    asm volatile("" : : "r"(buffer), "x"(value));
    return nullptr;
}
kelvo_error_t* empty_add_binary(kelvo_inserter_buffer_t* buffer, const uint8_t* value, size_t size) {
    asm volatile("" : : "r"(buffer), "r"(value), "r"(size));
    return nullptr;
}
kelvo_error_t* empty_add_date(kelvo_inserter_buffer_t* buffer, int32_t year, int16_t month, int16_t day) {
    asm volatile("" : : "r"(buffer), "r"(year), "r"(month), "r"(day));
    return nullptr;
}
