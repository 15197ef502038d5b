// The loader end to end: a session creates a table whose columns the fuzzer picks (types, NOT NULL), loads a KLVCPY
// stream the fuzzer writes through COPY FROM STDIN, cut into two CopyData messages where it says, and reads the table
// back in the binary format. A small decoder written here from the format's definition says whether the stream is sound
// and which rows it holds: a sound stream loads exactly those rows (as a multiset, with the count in the tag), an
// unsound one fails the COPY and leaves the table empty.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "session_peer.h"

using namespace kelvofuzz;

namespace {

struct ColumnType {
    const char* sql;
    size_t width;  // of the value; 0: a length word and that many bytes
    bool text;     // UTF-8 without NUL
    bool boolean;  // 0 or 1
    bool widened;  // read back as a two-byte integer (results have no one-byte integer)
};
const ColumnType kTypes[] = {
    {"INTEGER", 4, false, false, false}, {"BIGINT", 8, false, false, false}, {"SMALLINT", 2, false, false, false},
    {"TINYINT", 1, false, false, true},  {"BOOLEAN", 1, false, true, false}, {"VARCHAR", 0, true, false, false},
    {"BLOB", 0, false, false, false},
};

struct Column {
    const ColumnType* type;
    bool nullable;
};

using Row = std::string;  // each field: 'N', or 'V', its length word and bytes

uint32_t Le32(const std::string& s, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = v << 8 | static_cast<uint8_t>(s[at + static_cast<size_t>(i)]);
    return v;
}

bool IsUtf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        const auto b = static_cast<uint8_t>(s[i]);
        const size_t len = b < 0x80                 ? 1
                           : b >= 0xF0 && b <= 0xF4 ? 4
                           : b >= 0xE0 && b <= 0xEF ? 3
                           : b >= 0xC2 && b <= 0xDF ? 2
                                                    : 0;
        if (b == 0 || len == 0 || s.size() - i < len)
            return false;
        uint32_t cp = b & (0x7F >> len);
        for (size_t k = 1; k < len; ++k) {
            const auto c = static_cast<uint8_t>(s[i + k]);
            if ((c & 0xC0) != 0x80)
                return false;
            cp = cp << 6 | (c & 0x3F);
        }
        if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}

// The rows of the stream's body, or nothing when it is unsound.
std::optional<std::vector<Row>> Reference(const std::vector<Column>& columns, const std::string& body) {
    std::vector<Row> rows;
    size_t at = 0;
    while (at < body.size()) {
        Row row;
        for (const Column& c : columns) {
            if (c.nullable) {
                if (at >= body.size())
                    return std::nullopt;  // the row ends inside
                const auto marker = static_cast<uint8_t>(body[at++]);
                if (marker > 1)
                    return std::nullopt;
                if (marker == 1) {
                    row += 'N';
                    continue;
                }
            }
            size_t width = c.type->width;
            size_t start = at;
            if (width == 0) {
                if (body.size() < at || body.size() - at < 4)
                    return std::nullopt;
                width = Le32(body, at);
                start = at + 4;
                if (width > body.size())
                    return std::nullopt;
            }
            if (body.size() < start || body.size() - start < width)
                return std::nullopt;
            std::string value = body.substr(start, width);
            if ((c.type->text && !IsUtf8(value)) || (c.type->boolean && static_cast<uint8_t>(value[0]) > 1))
                return std::nullopt;
            if (c.type->widened)
                value += static_cast<char>(static_cast<int8_t>(value[0]) < 0 ? 0xff : 0);
            row += 'V' + Be32(static_cast<int64_t>(value.size())) + value;
            at = start + width;
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3 || size > 4096)
        return 0;
    const size_t count = 1 + data[1] % 4;
    if (size < 2 + count)
        return 0;
    std::vector<Column> columns;
    std::string create = "CREATE TABLE t (";
    for (size_t i = 0; i < count; ++i) {
        const Column c{&kTypes[(data[2 + i] & 0x7f) % (sizeof kTypes / sizeof kTypes[0])], (data[2 + i] & 0x80) == 0};
        columns.push_back(c);
        create += (i ? ", c" : "c") + std::to_string(i) + " " + c.type->sql + (c.nullable ? "" : " NOT NULL");
    }
    create += ")";
    const std::string body(reinterpret_cast<const char*>(data) + 2 + count, size - 2 - count);
    const std::string stream = std::string("KLVCPY", 6) + std::string(13, '\0') + body;
    const size_t cut = data[0] * stream.size() / 255;
    const auto expected = Reference(columns, body);

    const std::string bytes = Msg('Q', CStr(create)) + Msg('Q', CStr("COPY t FROM STDIN WITH (FORMAT KELVOBINARY)")) +
                              Msg('d', stream.substr(0, cut)) + Msg('d', stream.substr(cut)) + Msg('c', "") +
                              Msg('P', CStr("") + CStr("SELECT * FROM t") + Be16(0)) +
                              Msg('B', CStr("") + CStr("") + Be16(0) + Be16(0) + Be16(1) + Be16(2)) +
                              Msg('E', CStr("") + Be32(0)) + Msg('S', "") + Msg('X', "");
    SessionPeer peer;
    const std::vector<ServerMessage> answers = peer.Exchange(bytes);
    // CREATE: C Z; COPY: G, then C or E, Z; SELECT: 1 2 D* C Z.
    std::vector<const ServerMessage*> m;
    for (const auto& a : answers)
        if (a.type != 'N' && a.type != 'S')
            m.push_back(&a);
    size_t at = 0;
    auto take = [&](char type) -> const ServerMessage& {
        TrapIf(at >= m.size() || m[at]->type != type);
        return *m[at++];
    };
    for (char type : {'C', 'Z', 'G'})
        take(type);
    const bool loaded = at < m.size() && m[at]->type == 'C';
    TrapIf(loaded != expected.has_value());
    TrapIf(loaded && take('C').body != CStr("COPY " + std::to_string(expected->size())));
    for (char type : std::string(loaded ? "Z12" : "EZ12"))
        take(type);
    std::vector<Row> got;
    while (at < m.size() && m[at]->type == 'D') {
        const std::string& d = take('D').body;
        TrapIf(static_cast<size_t>(ReadBe16(d, 0)) != count);
        Row row;
        for (size_t i = 0, p = 2; i < count; ++i) {
            const int32_t length = ReadBe32(d, p);
            row += length < 0 ? std::string("N") : 'V' + Be32(length) + d.substr(p + 4, static_cast<size_t>(length));
            p += 4 + static_cast<size_t>(std::max(length, 0));
        }
        got.push_back(std::move(row));
    }
    take('C');
    // (the ReadyForQuery that ends the exchange was the last message)
    std::vector<Row> want = expected.value_or(std::vector<Row>{});
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    TrapIf(got != want);
    return 0;
}
