// Functions with the signatures of the inserter buffer's adds that do
// nothing, exported by a shared library of their own: the anchor of
// shared_adds_bench, a call through the PLT and a return per cell.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "kelvo/kelvo.h"

#define EMPTY_ADDS_API extern "C" __attribute__((visibility("default")))

EMPTY_ADDS_API kelvo_error_t* empty_add_null(kelvo_inserter_buffer_t* buffer);
EMPTY_ADDS_API kelvo_error_t* empty_add_bool(kelvo_inserter_buffer_t* buffer, bool value);
EMPTY_ADDS_API kelvo_error_t* empty_add_int16(kelvo_inserter_buffer_t* buffer, int16_t value);
EMPTY_ADDS_API kelvo_error_t* empty_add_int32(kelvo_inserter_buffer_t* buffer, int32_t value);
EMPTY_ADDS_API kelvo_error_t* empty_add_int64(kelvo_inserter_buffer_t* buffer, int64_t value);
EMPTY_ADDS_API kelvo_error_t* empty_add_double(kelvo_inserter_buffer_t* buffer, double value);
EMPTY_ADDS_API kelvo_error_t* empty_add_binary(kelvo_inserter_buffer_t* buffer, const uint8_t* value, size_t size);
EMPTY_ADDS_API kelvo_error_t* empty_add_date(kelvo_inserter_buffer_t* buffer, int32_t year, int16_t month, int16_t day);
