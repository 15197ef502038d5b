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
        if ((b & 0xE0) == 0xC0) {
            len = 2, cp = b & 0x1F;
        } else if ((b & 0xF0) == 0xE0) {
            len = 3, cp = b & 0x0F;
        } else if ((b & 0xF8) == 0xF0) {
            len = 4, cp = b & 0x07;
        } else {
            return false;
        }
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

// What an error about one cell begins with.
std::string CellLead(const CopyColumn& c, uint64_t rowNumber) {
    return "Row " + std::to_string(rowNumber + 1) + ", column \"" + c.name + "\": ";
}

[[noreturn]] void CutShort(const CopyColumn& c, uint64_t rowNumber) {
    throw SqlError("22P04", CellLead(c, rowNumber) + "the row is cut short.");
}

[[noreturn]] void ThrowValueFault(const CopyColumn& c, const uint8_t* p, uint64_t rowNumber) {
    std::string lead = CellLead(c, rowNumber);
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

// One function per way a fixed cell's value is stored in the engine's vector.
template <typename T>
void StoreAsIs(void* data, idx_t row, const uint8_t* p) {
    Put(data, row, LoadLe<T>(p));
}

void StoreBoolean(void* data, idx_t row, const uint8_t* p) { Put<bool>(data, row, *p == 1); }

void StoreDate(void* data, idx_t row, const uint8_t* p) {
    Put(data, row, static_cast<int32_t>(static_cast<int64_t>(LoadLe<uint32_t>(p)) - kUnixEpochJulianDay));
}

// Microseconds since Julian day 0 to the engine's since 1970; the infinities keep their sentinels.
void StoreTimestamp(void* data, idx_t row, const uint8_t* p) {
    int64_t v = LoadLe<int64_t>(p);
    if (v != std::numeric_limits<int64_t>::max() && v != -std::numeric_limits<int64_t>::max())
        v -= kUnixEpochJulianDay * kMicrosPerDay;
    Put(data, row, v);
}

void StoreInterval(void* data, idx_t row, const uint8_t* p) {
    duckdb_interval iv;
    iv.micros = LoadLe<int64_t>(p);
    iv.days = LoadLe<int32_t>(p + 8);
    iv.months = LoadLe<int32_t>(p + 12);
    Put(data, row, iv);
}

// A decimal of up to 9 digits travels in 64 bits and is stored in fewer.
template <typename T>
void StoreNarrowed(void* data, idx_t row, const uint8_t* p) {
    Put(data, row, static_cast<T>(LoadLe<int64_t>(p)));
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
            if (marker != 0) {
                BadFormat("Row " + std::to_string(m_rows + 1) + ", column \"" + m_columns[i].name +
                          "\": the null marker is " + std::to_string(marker) + ", not 0 or 1.");
            }
        }
        size_t width = m_fixedWidth[i];
        uint32_t length = 0;
        if (width == 0) {
            if (static_cast<size_t>(end - p) < 4)
                return 0;
            length = LoadLe<uint32_t>(p);
            if (length > kMaxVariableCell) {
                BadFormat("Row " + std::to_string(m_rows + 1) + ", column \"" + m_columns[i].name +
                          "\": the value length " + std::to_string(length) + " exceeds the limit of " +
                          std::to_string(kMaxVariableCell) + " bytes.");
            }
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
    if (m_piece.bytes.size() > m_measured) {
        BadFormat("The COPY data ends inside row " + std::to_string(m_rows + 1) + ": " +
                  std::to_string(m_piece.bytes.size() - m_measured) + " bytes of it arrived.");
    }
    if (m_piece.rows > 0)
        Emit();
}

// The output vectors of a chunk with their data, looked up once per call; a
// vector's validity is made writable at its first NULL. Up to a few dozen
// columns live on the stack, wider tables on the heap.
class KlvcpyRowDecoder::OutputColumns {
public:
    OutputColumns(duckdb_data_chunk chunk, size_t count) : m_columns(m_onStack) {
        if (count > kOnStack) {
            m_onHeap.resize(count);
            m_columns = m_onHeap.data();
        }
        for (size_t i = 0; i < count; ++i) {
            duckdb_vector vector = duckdb_data_chunk_get_vector(chunk, i);
            m_columns[i] = {vector, duckdb_vector_get_data(vector), nullptr};
        }
    }
    OutputColumns(const OutputColumns&) = delete;
    OutputColumns& operator=(const OutputColumns&) = delete;

    duckdb_vector Vector(size_t i) const { return m_columns[i].vector; }
    void* Data(size_t i) const { return m_columns[i].data; }
    // Rows are valid unless marked: the engine hands out its output chunk with every row valid.
    void SetNull(size_t i, idx_t row) {
        Column& c = m_columns[i];
        if (!c.validity) {
            duckdb_vector_ensure_validity_writable(c.vector);
            c.validity = duckdb_vector_get_validity(c.vector);
        }
        duckdb_validity_set_row_invalid(c.validity, row);
    }

private:
    struct Column {
        duckdb_vector vector;
        void* data;
        uint64_t* validity;
    };
    static constexpr size_t kOnStack = 32;
    Column m_onStack[kOnStack];
    std::vector<Column> m_onHeap;
    Column* m_columns;
};

KlvcpyRowDecoder::KlvcpyRowDecoder(const std::vector<CopyColumn>& columns, bool checkValues) : m_columns(columns) {
    for (const auto& c : m_columns) {
        m_cells.push_back(
            {KindOf(c), static_cast<uint8_t>(CellWidth(c)), c.nullable, checkValues && NeedsCheck(c.type)});
    }
}

KlvcpyRowDecoder::CellKind KlvcpyRowDecoder::KindOf(const CopyColumn& c) {
    switch (c.type) {
        case DUCKDB_TYPE_VARCHAR:
        case DUCKDB_TYPE_BLOB:
            return CellKind::Variable;
        case DUCKDB_TYPE_BOOLEAN:
            return CellKind::Boolean;
        case DUCKDB_TYPE_DATE:
            return CellKind::Date;
        case DUCKDB_TYPE_TIMESTAMP:
        case DUCKDB_TYPE_TIMESTAMP_TZ:
            return CellKind::Timestamp;
        case DUCKDB_TYPE_INTERVAL:
            return CellKind::Interval;
        default:
            break;
    }
    if (c.type == DUCKDB_TYPE_DECIMAL && c.width <= 9)
        return c.width <= 4 ? CellKind::Decimal2 : CellKind::Decimal4;
    // Every other cell is stored as it is: Copy1 to Copy16 follow their widths' powers of two.
    static_assert(static_cast<int>(CellKind::Copy16) == 4, "Copy1 to Copy16 come first, in order");
    return static_cast<CellKind>(__builtin_ctz(static_cast<unsigned>(CellWidth(c))));
}

void KlvcpyRowDecoder::StoreFixed(CellKind kind, void* data, idx_t row, const uint8_t* p) {
    switch (kind) {
        case CellKind::Copy1:
            return StoreAsIs<uint8_t>(data, row, p);
        case CellKind::Copy2:
            return StoreAsIs<uint16_t>(data, row, p);
        case CellKind::Copy4:
            return StoreAsIs<uint32_t>(data, row, p);
        case CellKind::Copy8:
            return StoreAsIs<uint64_t>(data, row, p);
        case CellKind::Copy16:
            return StoreAsIs<duckdb_hugeint>(data, row, p);
        case CellKind::Boolean:
            return StoreBoolean(data, row, p);
        case CellKind::Date:
            return StoreDate(data, row, p);
        case CellKind::Timestamp:
            return StoreTimestamp(data, row, p);
        case CellKind::Interval:
            return StoreInterval(data, row, p);
        case CellKind::Decimal2:
            return StoreNarrowed<int16_t>(data, row, p);
        case CellKind::Decimal4:
            return StoreNarrowed<int32_t>(data, row, p);
        case CellKind::Variable:
            return;  // DecodeVariable stores these
    }
}

const uint8_t* KlvcpyRowDecoder::Decode(const uint8_t* p, const uint8_t* end, duckdb_data_chunk chunk, idx_t first,
                                        idx_t capacity, uint64_t rowNumber, idx_t& count) const {
    OutputColumns out(chunk, m_cells.size());
    idx_t row = first;
    for (; row < capacity && p < end; ++row, ++rowNumber)
        p = DecodeRow(p, end, out, row, rowNumber);
    count += row - first;
    return p;
}

const uint8_t* KlvcpyRowDecoder::DecodeRow(const uint8_t* p, const uint8_t* end, OutputColumns& out, idx_t row,
                                           uint64_t rowNumber) const {
    for (size_t i = 0; i < m_cells.size(); ++i) {
        const CellPlan cell = m_cells[i];
        if (cell.nullable) {
            if (p == end)
                CutShort(m_columns[i], rowNumber);
            if (*p++ == 1) {
                out.SetNull(i, row);
                continue;
            }
        }
        if (cell.kind == CellKind::Variable) {
            p = DecodeVariable(i, p, end, out, row, rowNumber);
            continue;
        }
        if (static_cast<size_t>(end - p) < cell.width)
            CutShort(m_columns[i], rowNumber);
        if (cell.checked && !ValueIsSound(m_columns[i], p, 0))
            ThrowValueFault(m_columns[i], p, rowNumber);
        StoreFixed(cell.kind, out.Data(i), row, p);
        p += cell.width;
    }
    return p;
}

const uint8_t* KlvcpyRowDecoder::DecodeVariable(size_t column, const uint8_t* p, const uint8_t* end, OutputColumns& out,
                                                idx_t row, uint64_t rowNumber) const {
    if (static_cast<size_t>(end - p) < 4)
        CutShort(m_columns[column], rowNumber);
    const uint32_t length = LoadLe<uint32_t>(p);
    const uint8_t* value = p + 4;
    if (static_cast<size_t>(end - value) < length)
        CutShort(m_columns[column], rowNumber);
    if (m_cells[column].checked && !ValueIsSound(m_columns[column], value, length))
        ThrowValueFault(m_columns[column], value, rowNumber);
    duckdb_vector_assign_string_element_len(out.Vector(column), row, reinterpret_cast<const char*>(value), length);
    return value + length;
}

}  // namespace kelvod
