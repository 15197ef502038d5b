// Builds KLVCPY streams for the server tests with the library's own cell writers, so that the server is checked against
// the bytes the library sends.
#pragma once

#include <cstdint>
#include <string>

#include "kelvo/copy.h"

namespace kelvotest {

class KlvcpyRows {
public:
    KlvcpyRows& Header() { return Cell(kelvo_write_header(Space(19), 19)); }
    KlvcpyRows& Null() { return Cell(kelvo_write_null(Space(1), 1)); }
    KlvcpyRows& Int8(int8_t v, bool nullable = true) {
        return Cell(nullable ? kelvo_write_int8(Space(2), 2, v) : kelvo_write_int8_not_null(Space(1), 1, v));
    }
    KlvcpyRows& Int16(int16_t v, bool nullable = true) {
        return Cell(nullable ? kelvo_write_int16(Space(3), 3, v) : kelvo_write_int16_not_null(Space(2), 2, v));
    }
    KlvcpyRows& Int32(int32_t v, bool nullable = true) {
        return Cell(nullable ? kelvo_write_int32(Space(5), 5, v) : kelvo_write_int32_not_null(Space(4), 4, v));
    }
    KlvcpyRows& Int64(int64_t v, bool nullable = true) {
        return Cell(nullable ? kelvo_write_int64(Space(9), 9, v) : kelvo_write_int64_not_null(Space(8), 8, v));
    }
    KlvcpyRows& Double(double v, bool nullable = true) {
        int64_t bits;
        static_assert(sizeof bits == sizeof v, "binary64");
        __builtin_memcpy(&bits, &v, sizeof v);
        return Int64(bits, nullable);
    }
    KlvcpyRows& Bytes(const std::string& v, bool nullable = true) {
        size_t n = v.size() + (nullable ? 5 : 4);
        auto p = reinterpret_cast<const uint8_t*>(v.data());
        return Cell(nullable ? kelvo_write_varbinary(Space(n), n, p, v.size())
                             : kelvo_write_varbinary_not_null(Space(n), n, p, v.size()));
    }
    // Bytes as they stand, for malformed streams.
    KlvcpyRows& Raw(const std::string& bytes) {
        m_bytes += bytes;
        return *this;
    }
    const std::string& Data() const { return m_bytes; }

private:
    uint8_t* Space(size_t n) {
        m_mark = m_bytes.size();
        m_bytes.resize(m_mark + n);
        return reinterpret_cast<uint8_t*>(&m_bytes[m_mark]);
    }
    KlvcpyRows& Cell(size_t written) {
        m_bytes.resize(m_mark + written);
        return *this;
    }
    std::string m_bytes;
    size_t m_mark = 0;
};

}  // namespace kelvotest
