// Turns the bytes a client sends into requests: the start-up packet (with the
// SSL and cancel requests) and the messages of protocol 3.0. Pure parsing: the
// session feeds bytes in and takes requests out, so tests can feed any bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace kelvod {

// A violation of the protocol; the session answers with a FATAL error and closes.
struct ProtocolError : std::runtime_error {
    std::string sqlstate;
    ProtocolError(std::string state, const std::string& message)
        : std::runtime_error(message), sqlstate(std::move(state)) {}
};

// Bounds on what a client may send: a start-up packet is small; a message body
// is bounded so that a hostile length cannot make the server allocate without end.
constexpr uint32_t kMaxStartupPacket = 10000;
constexpr uint32_t kMaxMessage = 64u << 20;

struct SslRequest {};
struct CancelRequest {
    int32_t pid;
    int32_t key;
};
struct StartupRequest {
    std::vector<std::pair<std::string, std::string>> parameters;
};
using StartupPacket = std::variant<SslRequest, CancelRequest, StartupRequest>;

struct QueryMessage {
    std::string sql;
};
struct ParseMessage {
    std::string name;
    std::string sql;
    std::vector<uint32_t> paramTypes;
};
struct BindMessage {
    std::string portal;
    std::string statement;
    std::vector<int16_t> paramFormats;
    std::vector<std::optional<std::string>> params;
    std::vector<int16_t> resultFormats;
};
struct DescribeMessage {
    char kind;
    std::string name;
};  // 'S' or 'P'
struct ExecuteMessage {
    std::string portal;
    int32_t maxRows;
};
struct CloseMessage {
    char kind;
    std::string name;
};
struct SyncMessage {};
struct FlushMessage {};
struct TerminateMessage {};
// CopyData (its bytes), CopyDone, or CopyFail (its message).
struct CopyMessage {
    char type;
    std::string data;
};
using Request = std::variant<QueryMessage, ParseMessage, BindMessage, DescribeMessage, ExecuteMessage, CloseMessage,
                             SyncMessage, FlushMessage, TerminateMessage, CopyMessage>;

// Reads fields of one message body strictly inside its length.
class FieldReader {
public:
    explicit FieldReader(std::string_view body) : m_body(body) {}
    uint8_t Byte();
    int16_t Int16();
    int32_t Int32();
    std::string String();  // NUL-terminated
    std::string Bytes(size_t n);
    bool AtEnd() const { return m_pos == m_body.size(); }
    void ExpectEnd(char type) const;

private:
    void Need(size_t n) const;
    std::string_view m_body;
    size_t m_pos = 0;
};

class ProtocolReader {
public:
    void Append(const char* data, size_t size) { m_buffer.append(data, size); }
    // Empty while the packet or message is not yet complete; throws ProtocolError when malformed.
    std::optional<StartupPacket> TakeStartupPacket();
    std::optional<Request> TakeRequest();
    size_t Buffered() const { return m_buffer.size() - m_start; }
    // The type of the next message when its first byte has arrived, else 0.
    char NextType() const { return Buffered() ? m_buffer[m_start] : '\0'; }
    // The body of the next message when it is a whole CopyData, without a copy:
    // valid until the reader next changes. Empty for anything else, which
    // TakeRequest then reads (and refuses when malformed).
    std::optional<std::string_view> TakeCopyData();
    // Room for up to `n` more bytes, to receive into; Received keeps the first `size` of them.
    char* Space(size_t n);
    void Received(size_t size);

private:
    void Compact();
    std::string m_buffer;
    size_t m_start = 0;
    size_t m_received = 0;  // where the last Space began
};

StartupPacket ParseStartupPacket(std::string_view body);
Request ParseRequest(char type, std::string_view body);

}  // namespace kelvod
