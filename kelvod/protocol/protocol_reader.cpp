// Framing and decoding of the messages a client sends.
#include "kelvod/protocol/protocol_reader.h"

#include <cstdio>
#include <cstring>

namespace kelvod {

namespace {
constexpr int32_t kProtocol3 = 196608;
constexpr int32_t kSslCode = 80877103;
constexpr int32_t kGssCode = 80877104;
constexpr int32_t kCancelCode = 80877102;

uint32_t BigEndian32(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return (uint32_t(u[0]) << 24) | (uint32_t(u[1]) << 16) | (uint32_t(u[2]) << 8) | uint32_t(u[3]);
}
}  // namespace

void FieldReader::Need(size_t n) const {
    if (m_body.size() - m_pos < n)
        throw ProtocolError("08P01", "The message is shorter than its contents.");
}
uint8_t FieldReader::Byte() {
    Need(1);
    return static_cast<uint8_t>(m_body[m_pos++]);
}
int16_t FieldReader::Int16() {
    Need(2);
    auto v = static_cast<uint16_t>((uint8_t(m_body[m_pos]) << 8) | uint8_t(m_body[m_pos + 1]));
    m_pos += 2;
    return static_cast<int16_t>(v);
}
int32_t FieldReader::Int32() {
    Need(4);
    auto v = BigEndian32(m_body.data() + m_pos);
    m_pos += 4;
    return static_cast<int32_t>(v);
}
std::string FieldReader::String() {
    size_t nul = m_body.find('\0', m_pos);
    if (nul == std::string_view::npos)
        throw ProtocolError("08P01", "A string in the message is not terminated.");
    std::string s(m_body.substr(m_pos, nul - m_pos));
    m_pos = nul + 1;
    return s;
}
std::string FieldReader::Bytes(size_t n) {
    Need(n);
    std::string s(m_body.substr(m_pos, n));
    m_pos += n;
    return s;
}
namespace {
// The count in front of a list; a negative one means the message is broken,
// which `negativeText` tells the client.
int16_t Count(FieldReader& r, const char* negativeText) {
    int16_t n = r.Int16();
    if (n < 0)
        throw ProtocolError("08P01", negativeText);
    return n;
}

std::vector<int16_t> FormatCodes(FieldReader& r, const char* negativeText) {
    std::vector<int16_t> formats;
    for (int i = Count(r, negativeText); i > 0; --i)
        formats.push_back(r.Int16());
    return formats;
}
}  // namespace

void FieldReader::ExpectEnd(char type) const {
    if (!AtEnd())
        throw ProtocolError("08P01", std::string("The message of type '") + type + "' is longer than its contents.");
}

StartupPacket ParseStartupPacket(std::string_view body) {
    FieldReader r(body);
    int32_t code = r.Int32();
    if (code == kSslCode || code == kGssCode) {
        r.ExpectEnd('?');
        return SslRequest{};
    }
    if (code == kCancelCode) {
        CancelRequest c{r.Int32(), r.Int32()};
        r.ExpectEnd('?');
        return c;
    }
    if (code != kProtocol3) {
        throw ProtocolError("0A000", "Unsupported frontend protocol " + std::to_string(code >> 16) + "." +
                                         std::to_string(code & 0xFFFF) + ": the server supports 3.0.");
    }
    StartupRequest s;
    for (;;) {
        std::string name = r.String();
        if (name.empty())
            break;
        std::string value = r.String();
        s.parameters.emplace_back(std::move(name), std::move(value));
    }
    if (!r.AtEnd())
        throw ProtocolError("08P01", "The start-up packet has data after its terminator.");
    return s;
}

Request ParseRequest(char type, std::string_view body) {
    FieldReader r(body);
    switch (type) {
        case 'Q': {
            QueryMessage q{r.String()};
            r.ExpectEnd(type);
            return q;
        }
        case 'P': {
            ParseMessage p;
            p.name = r.String();
            p.sql = r.String();
            int16_t n = Count(r, "The Parse message has a negative parameter count.");
            for (int i = 0; i < n; ++i)
                p.paramTypes.push_back(static_cast<uint32_t>(r.Int32()));
            r.ExpectEnd(type);
            return p;
        }
        case 'B': {
            BindMessage b;
            b.portal = r.String();
            b.statement = r.String();
            b.paramFormats = FormatCodes(r, "The Bind message has a negative format count.");
            int16_t np = Count(r, "The Bind message has a negative parameter count.");
            for (int i = 0; i < np; ++i) {
                int32_t len = r.Int32();
                if (len == -1) {
                    b.params.emplace_back(std::nullopt);
                } else if (len < 0) {
                    throw ProtocolError("08P01", "The Bind message has an invalid parameter length.");
                } else {
                    b.params.emplace_back(r.Bytes(static_cast<size_t>(len)));
                }
            }
            b.resultFormats = FormatCodes(r, "The Bind message has a negative result format count.");
            r.ExpectEnd(type);
            return b;
        }
        case 'D':
        case 'C': {
            char kind = static_cast<char>(r.Byte());
            if (kind != 'S' && kind != 'P') {
                throw ProtocolError(
                    "08P01", std::string("Invalid object kind '") + kind + "' in a message of type '" + type + "'.");
            }
            std::string name = r.String();
            r.ExpectEnd(type);
            if (type == 'D')
                return DescribeMessage{kind, std::move(name)};
            return CloseMessage{kind, std::move(name)};
        }
        case 'E': {
            ExecuteMessage e;
            e.portal = r.String();
            e.maxRows = r.Int32();
            r.ExpectEnd(type);
            return e;
        }
        case 'S':
            r.ExpectEnd(type);
            return SyncMessage{};
        case 'H':
            r.ExpectEnd(type);
            return FlushMessage{};
        case 'X':
            r.ExpectEnd(type);
            return TerminateMessage{};
        case 'd':
            return CopyMessage{type, std::string(body)};
        case 'c':
            r.ExpectEnd(type);
            return CopyMessage{type, {}};
        case 'f': {
            CopyMessage m{type, r.String()};
            r.ExpectEnd(type);
            return m;
        }
        default:
            break;
    }
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02x", static_cast<unsigned char>(type));
    throw ProtocolError("08P01", std::string("Invalid frontend message type ") + hex + ".");
}

void ProtocolReader::Compact() {
    // Moving the unread rest down only once half the buffer is read keeps the
    // cost of many messages in one large read linear.
    if (m_start == m_buffer.size()) {
        m_buffer.clear();
        m_start = 0;
    } else if (m_start > 65536 && m_start * 2 > m_buffer.size()) {
        m_buffer.erase(0, m_start);
        m_start = 0;
    }
}

std::optional<std::string_view> ProtocolReader::TakeCopyData() {
    if (Buffered() < 5 || m_buffer[m_start] != 'd')
        return std::nullopt;
    uint32_t len = BigEndian32(m_buffer.data() + m_start + 1);
    if (len < 4 || len > kMaxMessage || Buffered() < size_t(len) + 1)
        return std::nullopt;
    std::string_view body(m_buffer.data() + m_start + 5, len - 4);
    m_start += size_t(len) + 1;
    return body;
}

char* ProtocolReader::Space(size_t n) {
    if (m_start > 0) {
        m_buffer.erase(0, m_start);
        m_start = 0;
    }
    m_received = m_buffer.size();
    m_buffer.resize(m_received + n);
    return m_buffer.data() + m_received;
}

void ProtocolReader::Received(size_t size) { m_buffer.resize(m_received + size); }

std::optional<StartupPacket> ProtocolReader::TakeStartupPacket() {
    if (Buffered() < 4)
        return std::nullopt;
    uint32_t len = BigEndian32(m_buffer.data() + m_start);
    if (len < 8 || len > kMaxStartupPacket)
        throw ProtocolError("08P01", "Invalid length of the start-up packet: " + std::to_string(len) + ".");
    if (Buffered() < len)
        return std::nullopt;
    std::string_view body(m_buffer.data() + m_start + 4, len - 4);
    StartupPacket p = ParseStartupPacket(body);
    m_start += len;
    Compact();
    return p;
}

std::optional<Request> ProtocolReader::TakeRequest() {
    if (Buffered() < 5)
        return std::nullopt;
    char type = m_buffer[m_start];
    uint32_t len = BigEndian32(m_buffer.data() + m_start + 1);
    if (len < 4 || len > kMaxMessage) {
        throw ProtocolError("08P01", "Invalid message length " + std::to_string(len) + " for a message of type '" +
                                         std::string(1, type) + "'.");
    }
    if (Buffered() < size_t(len) + 1)
        return std::nullopt;
    std::string_view body(m_buffer.data() + m_start + 5, len - 4);
    Request r = ParseRequest(type, body);
    m_start += size_t(len) + 1;
    Compact();
    return r;
}

}  // namespace kelvod
