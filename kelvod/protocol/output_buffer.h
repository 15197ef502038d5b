// The bytes a session has yet to send. Grows without filling new space first:
// a chunk of rows reserves its DataRows in one step and writes every byte once.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

namespace kelvod {

class OutputBuffer {
public:
    const char* data() const { return m_data.get(); }
    char* data() { return m_data.get(); }
    size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    void clear() { m_size = 0; }
    std::string_view View() const { return {m_data.get(), m_size}; }
    char& operator[](size_t i) { return m_data[i]; }

    // Makes `n` more bytes room at the end and returns where they start; their content is undefined.
    char* Extend(size_t n) {
        if (m_size + n > m_capacity)
            Grow(m_size + n);
        char* at = m_data.get() + m_size;
        m_size += n;
        return at;
    }
    void Truncate(size_t size) {
        if (size < m_size)
            m_size = size;
    }
    void push_back(char c) { *Extend(1) = c; }
    void append(const char* bytes, size_t n) {
        if (n)
            std::memcpy(Extend(n), bytes, n);
    }
    void append(std::string_view s) { append(s.data(), s.size()); }
    void append(size_t n, char c) { std::memset(Extend(n), c, n); }

private:
    void Grow(size_t needed) {
        size_t capacity = m_capacity ? m_capacity : 4096;
        while (capacity < needed)
            capacity *= 2;
        std::unique_ptr<char[]> bigger(new char[capacity]);
        if (m_size)
            std::memcpy(bigger.get(), m_data.get(), m_size);
        m_data = std::move(bigger);
        m_capacity = capacity;
    }

    std::unique_ptr<char[]> m_data;
    size_t m_size = 0;
    size_t m_capacity = 0;
};

}  // namespace kelvod
