// The fuzzer's bytes read as choices: a byte at a time (0 past the end) or a
// run of bytes, for the targets that build messages from them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kelvofuzz {

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
    template <typename T, size_t N>
    T Pick(T (&from)[N]) {
        return from[Byte() % N];
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_at = 0;
};

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
