// What the fuzz targets share: a trap for a broken invariant, the fuzzer's bytes read as choices (a byte at a time, 0
// past the end, or a run of bytes) for the targets that build messages from them, and the big-endian words and framing
// of the wire protocol.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

namespace kelvofuzz {

// Ends the run as a crash, the input kept, when `fault` holds. (An exception
// that leaves a target ends it as a crash too.)
inline void TrapIf(bool fault) {
    if (fault)
        __builtin_trap();
}

// The seconds an input gets to be answered or ended before it counts as hung: far beyond any well-behaved input, so
// that a slow machine is not taken for a fault.
constexpr int kHangSeconds = 30;

class Input {
public:
    Input(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool Done() const { return m_at >= m_size; }
    uint8_t Byte() { return m_at < m_size ? m_data[m_at++] : 0; }
    std::string Bytes(size_t n) {
        n = std::min(n, m_size - std::min(m_at, m_size));
        std::string s(reinterpret_cast<const char*>(m_data) + m_at, n);
        m_at += n;
        return s;
    }
    template <typename List>
    auto Pick(const List& from) {
        return from[Byte() % std::size(from)];
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_at = 0;
};

inline std::string Be16(int v) { return {static_cast<char>((v >> 8) & 0xff), static_cast<char>(v & 0xff)}; }
inline std::string Be32(int64_t v) { return Be16(static_cast<int>(v >> 16)) + Be16(static_cast<int>(v)); }
inline std::string Msg(char type, const std::string& body) {
    return std::string(1, type) + Be32(static_cast<int64_t>(body.size()) + 4) + body;
}
inline std::string CStr(const std::string& s) { return s + std::string(1, '\0'); }
inline int16_t ReadBe16(const std::string& s, size_t at) {
    return static_cast<int16_t>((uint16_t(uint8_t(s.at(at))) << 8) | uint16_t(uint8_t(s.at(at + 1))));
}
inline int32_t ReadBe32(const std::string& s, size_t at) {
    return static_cast<int32_t>((uint32_t(uint16_t(ReadBe16(s, at))) << 16) | uint16_t(ReadBe16(s, at + 2)));
}

// The pieces of `s` between the `at` characters (one piece when there is none).
inline std::vector<std::string> Split(const std::string& s, char at) {
    std::vector<std::string> parts(1);
    for (char c : s) {
        if (c == at)
            parts.emplace_back();
        else
            parts.back() += c;
    }
    return parts;
}

}  // namespace kelvofuzz

using kelvofuzz::TrapIf;
