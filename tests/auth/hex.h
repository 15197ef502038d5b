// Hexadecimal rendering of digests for the authentication tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

inline std::string ToHex(const void* data, std::size_t len) {
    static constexpr char kHex[] = "0123456789abcdef";
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::string out;
    for (std::size_t i = 0; i < len; i++) {
        out += kHex[bytes[i] >> 4];
        out += kHex[bytes[i] & 0x0f];
    }
    return out;
}
