// Decoding KLVCPY cells into engine vectors.
#include "kelvod/loading/klvcpy_decoder.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "kelvod/sql/sql_lexer.h"
#include "kelvod/values/value_encoding.h"

namespace kelvod {

namespace {

const char kHeader[kKlvcpyHeaderSize] = {'K', 'L', 'V', 'C', 'P', 'Y', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

template <typename T>
T LoadLe(const uint8_t* p) {
    // The host is little-endian (x86-64), as the format is.
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <typename T>
void Put(void* data, idx_t row, T v) {
    std::memcpy(static_cast<char*>(data) + row * sizeof(T), &v, sizeof v);
}

[[noreturn]] void BadFormat(const std::string& message) { throw SqlError("22P04", message); }

size_t CellWidth(const CopyColumn& c) {
    switch (c.type) {
        case DUCKDB_TYPE_BOOLEAN:
        case DUCKDB_TYPE_TINYINT:
        case DUCKDB_TYPE_UTINYINT:
            return 1;
        case DUCKDB_TYPE_SMALLINT:
        case DUCKDB_TYPE_USMALLINT:
            return 2;
        case DUCKDB_TYPE_INTEGER:
        case DUCKDB_TYPE_UINTEGER:
        case DUCKDB_TYPE_DATE:
        case DUCKDB_TYPE_FLOAT:
            return 4;
        case DUCKDB_TYPE_BIGINT:
        case DUCKDB_TYPE_DOUBLE:
        case DUCKDB_TYPE_TIME:
        case DUCKDB_TYPE_TIMESTAMP:
        case DUCKDB_TYPE_TIMESTAMP_TZ:
            return 8;
        case DUCKDB_TYPE_DECIMAL:
            return c.width <= 18 ? 8 : 16;
        case DUCKDB_TYPE_HUGEINT:
        case DUCKDB_TYPE_INTERVAL:
            return 16;
        default:
            return 0;  // VARCHAR, BLOB
    }
}

// Whole code points, no overlongs, no surrogates, nothing above U+10FFFF, no NUL.
bool IsValidText(const uint8_t* p, size_t n) {
    size_t i = 0;
    while (i < n) {
        // Eight ASCII bytes without a NUL at a time: most text is that.
        if (n - i >= 8) {
            uint64_t w = LoadLe<uint64_t>(p + i);
            constexpr uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
            if (((w | ((w - kOnes) & ~w)) & kHighs) == 0) {
                i += 8;
                continue;
            }
        }
        uint8_t b = p[i];
        if (b < 0x80) {
            if (b == 0)
                return false;
            ++i;
            continue;
        }
        size_t len;
        uint32_t cp;
        if ((b & 0xE0) == 0xC0)
            len = 2, cp = b & 0x1F;
        else if ((b & 0xF0) == 0xE0)
            len = 3, cp = b & 0x0F;
        else if ((b & 0xF8) == 0xF0)
            len = 4, cp = b & 0x07;
        else
            return false;
        if (n - i < len)
            return false;
        for (size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}

__int128 PowerOfTen(uint8_t n) {
    __int128 v = 1;
    for (uint8_t i = 0; i < n; ++i)
        v *= 10;
    return v;
}

__int128 DecimalCell(const CopyColumn& c, const uint8_t* p) {
    if (c.width <= 18)
        return static_cast<__int128>(LoadLe<int64_t>(p));
    return static_cast<__int128>((static_cast<unsigned __int128>(LoadLe<uint64_t>(p + 8)) << 64) | LoadLe<uint64_t>(p));
}

bool NeedsCheck(duckdb_type type) {
    switch (type) {
        case DUCKDB_TYPE_BOOLEAN:
        case DUCKDB_TYPE_DATE:
        case DUCKDB_TYPE_TIME:
        case DUCKDB_TYPE_TIMESTAMP:
        case DUCKDB_TYPE_TIMESTAMP_TZ:
        case DUCKDB_TYPE_DECIMAL:
        case DUCKDB_TYPE_VARCHAR:
            return true;
        default:
            return false;
    }
}

// Whether the value of a cell fits its engine type; only the types that can
// hold less than their cell are checked. `p` is the value, `length` its size
// for variable cells.
bool ValueIsSound(const CopyColumn& c, const uint8_t* p, uint32_t length) {
    switch (c.type) {
        case DUCKDB_TYPE_BOOLEAN:
            return *p <= 1;
        case DUCKDB_TYPE_DATE:
            return static_cast<int64_t>(LoadLe<uint32_t>(p)) - kUnixEpochJulianDay <
                   std::numeric_limits<int32_t>::max();
        case DUCKDB_TYPE_TIME:
            return LoadLe<uint64_t>(p) <= static_cast<uint64_t>(kMicrosPerDay);
        case DUCKDB_TYPE_TIMESTAMP:
        case DUCKDB_TYPE_TIMESTAMP_TZ: {
            // Microseconds since Julian day 0; the infinities keep their sentinels. A
            // finite value must not land on the engine's sentinel for -infinity.
            int64_t v = LoadLe<int64_t>(p);
            constexpr int64_t kOffset = kUnixEpochJulianDay * kMicrosPerDay;
            return v == std::numeric_limits<int64_t>::max() || v == -std::numeric_limits<int64_t>::max() ||
                   v >= std::numeric_limits<int64_t>::min() + kOffset + 2;
        }
        case DUCKDB_TYPE_DECIMAL: {
            __int128 bound = PowerOfTen(c.width);
            __int128 v = DecimalCell(c, p);
            return v < bound && v > -bound;
        }
        case DUCKDB_TYPE_VARCHAR:
            return IsValidText(p, length);
        default:
            return true;
    }
}

[[noreturn]] void ThrowValueFault(const CopyColumn& c, const uint8_t* p, uint64_t rowNumber) {
    std::string lead = "Row " + std::to_string(rowNumber + 1) + ", column \"" + c.name + "\": ";
    switch (c.type) {
        case DUCKDB_TYPE_BOOLEAN:
            throw SqlError("22P02", lead + "a boolean is 0 or 1, not " + std::to_string(*p) + ".");
        case DUCKDB_TYPE_DATE:
            throw SqlError("22008", lead + "the date is out of range.");
        case DUCKDB_TYPE_TIME:
            throw SqlError("22008", lead + "the time of day is out of range.");
        case DUCKDB_TYPE_DECIMAL:
            throw SqlError("22003", lead + "the value does not fit NUMERIC(" + std::to_string(c.width) + "," +
                                        std::to_string(c.scale) + ").");
        case DUCKDB_TYPE_VARCHAR:
            throw SqlError("22021", lead + "invalid byte sequence for encoding \"UTF8\".");
        default:
            throw SqlError("22008", lead + "the timestamp is out of range.");
    }
}

}  // namespace

CopyColumn DescribeCopyColumn(const std::string& name, duckdb_logical_type type, bool nullable) {
    CopyColumn c;
    c.name = name;
    c.type = duckdb_get_type_id(type);
    c.nullable = nullable;
    switch (c.type) {
        case DUCKDB_TYPE_DECIMAL:
            c.width = duckdb_decimal_width(type);
            c.scale = duckdb_decimal_scale(type);
            return c;
        case DUCKDB_TYPE_BOOLEAN:
        case DUCKDB_TYPE_TINYINT:
        case DUCKDB_TYPE_UTINYINT:
        case DUCKDB_TYPE_SMALLINT:
        case DUCKDB_TYPE_USMALLINT:
        case DUCKDB_TYPE_INTEGER:
        case DUCKDB_TYPE_UINTEGER:
        case DUCKDB_TYPE_DATE:
        case DUCKDB_TYPE_FLOAT:
        case DUCKDB_TYPE_BIGINT:
        case DUCKDB_TYPE_DOUBLE:
        case DUCKDB_TYPE_TIME:
        case DUCKDB_TYPE_TIMESTAMP:
        case DUCKDB_TYPE_TIMESTAMP_TZ:
        case DUCKDB_TYPE_HUGEINT:
        case DUCKDB_TYPE_INTERVAL:
        case DUCKDB_TYPE_VARCHAR:
        case DUCKDB_TYPE_BLOB:
            return c;
        default:
            throw SqlError("0A000", "The column \"" + name + "\" is of a type that cannot be loaded with COPY.");
    }
}

duckdb_logical_type CopyColumnLogicalType(const CopyColumn& column) {
    if (column.type == DUCKDB_TYPE_DECIMAL)
        return duckdb_create_decimal_type(column.width, column.scale);
    return duckdb_create_logical_type(column.type);
}

KlvcpyRowCutter::KlvcpyRowCutter(std::vector<CopyColumn> columns, size_t pieceBytes, bool checkValues, PieceSink sink)
    : m_columns(std::move(columns)), m_pieceBytes(pieceBytes), m_sink(std::move(sink)) {
    for (const auto& c : m_columns) {
        m_fixedWidth.push_back(CellWidth(c));
        m_checked.push_back(checkValues && NeedsCheck(c.type));
    }
    m_piece.bytes.reserve(m_pieceBytes);
}

void KlvcpyRowCutter::Feed(const char* data, size_t size) {
    if (!m_headerSeen) {
        size_t take = std::min(size, kKlvcpyHeaderSize - m_header.size());
        m_header.append(data, take);
        data += take;
        size -= take;
        if (m_header.size() < kKlvcpyHeaderSize)
            return;
        if (std::memcmp(m_header.data(), kHeader, kKlvcpyHeaderSize) != 0)
            BadFormat("The COPY data does not begin with the KLVCPY header.");
        m_headerSeen = true;
    }
    if (size == 0)
        return;
    if (m_columns.empty())
        BadFormat("The COPY data holds bytes after the header, but the target has no columns.");
    while (size > 0) {
        // Fill the piece up to its size, so that it is not copied as it grows;
        // a row larger than a piece grows it.
        size_t room = m_pieceBytes > m_piece.bytes.size() ? m_pieceBytes - m_piece.bytes.size() : 0;
        size_t take = std::min(size, room > 0 ? room : m_pieceBytes);
        m_piece.bytes.append(data, take);
        data += take;
        size -= take;
        MeasureRows();
        if (m_measured > 0 && m_piece.bytes.size() >= m_pieceBytes)
            Emit();
    }
}

void KlvcpyRowCutter::MeasureRows() {
    const auto* begin = reinterpret_cast<const uint8_t*>(m_piece.bytes.data());
    const uint8_t* end = begin + m_piece.bytes.size();
    for (;;) {
        size_t length = MeasureRow(begin + m_measured, end);
        if (length == 0)
            return;
        m_measured += length;
        ++m_piece.rows;
        ++m_rows;
    }
}

void KlvcpyRowCutter::Emit() {
    RowPiece next;
    next.bytes.reserve(std::max(m_pieceBytes, m_piece.bytes.size() - m_measured));
    next.bytes.assign(m_piece.bytes, m_measured, std::string::npos);
    next.firstRow = m_rows;
    m_piece.bytes.resize(m_measured);
    RowPiece full = std::move(m_piece);
    m_piece = std::move(next);
    m_measured = 0;
    m_sink(std::move(full));
}

size_t KlvcpyRowCutter::MeasureRow(const uint8_t* p, const uint8_t* end) const {
    const uint8_t* start = p;
    for (size_t i = 0; i < m_columns.size(); ++i) {
        if (m_columns[i].nullable) {
            if (p == end)
                return 0;
            uint8_t marker = *p++;
            if (marker == 1)
                continue;
            if (marker != 0)
                BadFormat("Row " + std::to_string(m_rows + 1) + ", column \"" + m_columns[i].name +
                          "\": the null marker is " + std::to_string(marker) + ", not 0 or 1.");
        }
        size_t width = m_fixedWidth[i];
        uint32_t length = 0;
        if (width == 0) {
            if (static_cast<size_t>(end - p) < 4)
                return 0;
            length = LoadLe<uint32_t>(p);
            if (length > kMaxVariableCell)
                BadFormat("Row " + std::to_string(m_rows + 1) + ", column \"" + m_columns[i].name +
                          "\": the value length " + std::to_string(length) + " exceeds the limit of " +
                          std::to_string(kMaxVariableCell) + " bytes.");
            width = 4 + static_cast<size_t>(length);
        }
        if (static_cast<size_t>(end - p) < width)
            return 0;
        const uint8_t* value = m_fixedWidth[i] == 0 ? p + 4 : p;
        if (m_checked[i] && !ValueIsSound(m_columns[i], value, length))
            ThrowValueFault(m_columns[i], value, m_rows);
        p += width;
    }
    return static_cast<size_t>(p - start);
}

void KlvcpyRowCutter::Finish() {
    if (!m_headerSeen)
        BadFormat("The COPY data ends before its 19-byte KLVCPY header is complete.");
    if (m_piece.bytes.size() > m_measured)
        BadFormat("The COPY data ends inside row " + std::to_string(m_rows + 1) + ": " +
                  std::to_string(m_piece.bytes.size() - m_measured) + " bytes of it arrived.");
    if (m_piece.rows > 0)
        Emit();
}

KlvcpyRowDecoder::KlvcpyRowDecoder(const std::vector<CopyColumn>& columns, bool checkValues)
    : m_columns(columns), m_checkValues(checkValues) {
    for (const auto& c : m_columns) {
        m_fixedWidth.push_back(CellWidth(c));
        m_checked.push_back(NeedsCheck(c.type));
    }
}

const uint8_t* KlvcpyRowDecoder::Decode(const uint8_t* p, const uint8_t* end, duckdb_data_chunk chunk, idx_t first,
                                        idx_t capacity, uint64_t rowNumber, idx_t& count) const {
    const size_t columns = m_columns.size();
    // Up to a few dozen columns live on the stack; wider tables on the heap.
    constexpr size_t kOnStack = 32;
    duckdb_vector vectorsOnStack[kOnStack];
    void* dataOnStack[kOnStack];
    uint64_t* validityOnStack[kOnStack];
    std::vector<duckdb_vector> vectorsOnHeap;
    std::vector<void*> dataOnHeap;
    std::vector<uint64_t*> validityOnHeap;
    duckdb_vector* vectors = vectorsOnStack;
    void** datas = dataOnStack;
    uint64_t** validity = validityOnStack;
    if (columns > kOnStack) {
        vectorsOnHeap.resize(columns);
        dataOnHeap.resize(columns);
        validityOnHeap.resize(columns);
        vectors = vectorsOnHeap.data();
        datas = dataOnHeap.data();
        validity = validityOnHeap.data();
    }
    for (size_t i = 0; i < columns; ++i) {
        vectors[i] = duckdb_data_chunk_get_vector(chunk, i);
        datas[i] = duckdb_vector_get_data(vectors[i]);
        validity[i] = nullptr;  // made writable at the column's first NULL
    }
    idx_t row = first;
    auto fail = [&](const char* state, size_t column, const std::string& what) {
        throw SqlError(state,
                       "Row " + std::to_string(rowNumber + 1) + ", column \"" + m_columns[column].name + "\": " + what);
    };
    auto need = [&](const uint8_t* q, size_t n, size_t column) {
        if (static_cast<size_t>(end - q) < n)
            fail("22P04", column, "the row is cut short.");
    };
    for (; row < capacity && p < end; ++row, ++rowNumber) {
        for (size_t i = 0; i < columns; ++i) {
            const CopyColumn& c = m_columns[i];
            void* data = datas[i];
            if (c.nullable) {
                need(p, 1, i);
                if (*p++ == 1) {
                    if (!validity[i]) {
                        duckdb_vector_ensure_validity_writable(vectors[i]);
                        validity[i] = duckdb_vector_get_validity(vectors[i]);
                    }
                    duckdb_validity_set_row_invalid(validity[i], row);
                    continue;
                }
            }
            const size_t width = m_fixedWidth[i];
            need(p, width == 0 ? 4 : width, i);
            const uint32_t length = width == 0 ? LoadLe<uint32_t>(p) : 0;
            if (width == 0)
                need(p + 4, length, i);
            const uint8_t* value = width == 0 ? p + 4 : p;
            if (m_checkValues && m_checked[i] && !ValueIsSound(c, value, length))
                ThrowValueFault(c, value, rowNumber);
            // Rows are valid unless marked: the engine hands out its output chunk with every row valid.
            switch (c.type) {
                case DUCKDB_TYPE_BOOLEAN:
                    Put<bool>(data, row, *p == 1);
                    break;
                case DUCKDB_TYPE_TINYINT:
                    Put(data, row, LoadLe<int8_t>(p));
                    break;
                case DUCKDB_TYPE_UTINYINT:
                    Put(data, row, *p);
                    break;
                case DUCKDB_TYPE_SMALLINT:
                    Put(data, row, LoadLe<int16_t>(p));
                    break;
                case DUCKDB_TYPE_USMALLINT:
                    Put(data, row, LoadLe<uint16_t>(p));
                    break;
                case DUCKDB_TYPE_INTEGER:
                    Put(data, row, LoadLe<int32_t>(p));
                    break;
                case DUCKDB_TYPE_UINTEGER:
                    Put(data, row, LoadLe<uint32_t>(p));
                    break;
                case DUCKDB_TYPE_FLOAT:
                    Put(data, row, LoadLe<float>(p));
                    break;
                case DUCKDB_TYPE_BIGINT:
                    Put(data, row, LoadLe<int64_t>(p));
                    break;
                case DUCKDB_TYPE_DOUBLE:
                    Put(data, row, LoadLe<double>(p));
                    break;
                case DUCKDB_TYPE_DATE:
                    Put(data, row,
                        static_cast<int32_t>(static_cast<int64_t>(LoadLe<uint32_t>(p)) - kUnixEpochJulianDay));
                    break;
                case DUCKDB_TYPE_TIME:
                    Put(data, row, static_cast<int64_t>(LoadLe<uint64_t>(p)));
                    break;
                case DUCKDB_TYPE_TIMESTAMP:
                case DUCKDB_TYPE_TIMESTAMP_TZ: {
                    int64_t v = LoadLe<int64_t>(p);
                    if (v != std::numeric_limits<int64_t>::max() && v != -std::numeric_limits<int64_t>::max())
                        v -= kUnixEpochJulianDay * kMicrosPerDay;
                    Put(data, row, v);
                    break;
                }
                case DUCKDB_TYPE_INTERVAL: {
                    duckdb_interval iv;
                    iv.micros = LoadLe<int64_t>(p);
                    iv.days = LoadLe<int32_t>(p + 8);
                    iv.months = LoadLe<int32_t>(p + 12);
                    Put(data, row, iv);
                    break;
                }
                case DUCKDB_TYPE_HUGEINT: {
                    duckdb_hugeint h{LoadLe<uint64_t>(p), LoadLe<int64_t>(p + 8)};
                    Put(data, row, h);
                    break;
                }
                case DUCKDB_TYPE_DECIMAL: {
                    __int128 v = DecimalCell(c, p);
                    if (c.width <= 4)
                        Put(data, row, static_cast<int16_t>(v));
                    else if (c.width <= 9)
                        Put(data, row, static_cast<int32_t>(v));
                    else if (c.width <= 18)
                        Put(data, row, static_cast<int64_t>(v));
                    else
                        Put(data, row, duckdb_hugeint{static_cast<uint64_t>(v), static_cast<int64_t>(v >> 64)});
                    break;
                }
                default:  // VARCHAR, BLOB
                    duckdb_vector_assign_string_element_len(vectors[i], row, reinterpret_cast<const char*>(value),
                                                            length);
                    p += 4 + static_cast<size_t>(length);
                    continue;
            }
            p += width;
        }
    }
    count += row - first;
    return p;
}

}  // namespace kelvod
