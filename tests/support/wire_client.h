// A small protocol-3.0 client for the server tests: raw socket, start-up packet, simple and extended queries, and
// message reading with a time-out on every read, so that a misbehaving server fails a test instead of hanging it.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kelvotest {

struct WireMessage {
    char type = 0;  // 0: the connection ended or timed out
    std::string body;
};

struct WireColumn {
    std::string name;
    uint32_t typeOid;
    int16_t typeLength;
    int32_t typeModifier;
    int16_t format;
};

struct WireError {
    std::string severity, sqlstate, message;
};

// The answers to one query cycle, up to ReadyForQuery.
struct WireResult {
    std::vector<WireColumn> columns;       // of the last RowDescription
    std::vector<uint32_t> parameterTypes;  // of the last ParameterDescription
    std::vector<std::vector<std::optional<std::string>>> rows;
    std::vector<std::string> tags;
    std::vector<WireError> errors;
    std::vector<WireError> notices;
    std::vector<char> types;  // every message type seen, in order
    std::string copyData;
    char status = 0;  // ReadyForQuery's transaction status; 0 when none arrived
    bool Ok() const { return errors.empty() && status != 0; }
    // The first error's SQLSTATE and message; "" when there was none.
    std::string Sqlstate() const { return errors.empty() ? "" : errors[0].sqlstate; }
    std::string Message() const { return errors.empty() ? "" : errors[0].message; }
    // The tags, then the errors' SQLSTATEs, joined by ", ": what a statement came to in one string.
    std::string Outcome() const;
    std::string Value(size_t row = 0, size_t column = 0) const;
};

class WireClient {
public:
    WireClient() = default;
    ~WireClient();
    WireClient(const WireClient&) = delete;
    WireClient& operator=(const WireClient&) = delete;

    bool ConnectSocket(const std::string& endpointDescriptor);
    // Takes `fd`, a connected socket (one end of a socket pair), as the client's own.
    void Adopt(int fd) {
        Close();
        m_fd = fd;
    }
    // Sends the start-up packet and reads to ReadyForQuery (or the error).
    WireResult Startup(const std::vector<std::pair<std::string, std::string>>& parameters);
    // Connects and starts up with dbname and options.
    WireResult Open(const std::string& endpoint, const std::string& dbname = "[]", const std::string& options = "");

    void SendRaw(const std::string& bytes);
    void SendMessage(char type, const std::string& body);
    WireMessage Read(int timeoutMs = 10000);
    WireResult ReadUntilReady(int timeoutMs = 10000);
    // True when the server closed the connection within the time-out.
    bool WaitClosed(int timeoutMs = 10000);

    WireResult Query(const std::string& sql);
    // Parse, Bind, Describe, Execute of one statement, without Sync; `describe` 'S' describes the statement.
    void SendExtended(const std::string& sql, const std::vector<std::optional<std::string>>& params = {},
                      char describe = 'P', int16_t resultFormat = 0);
    // Parse, Bind (one result format), Describe portal, Execute, Sync.
    WireResult Extended(const std::string& sql, int16_t resultFormat,
                        const std::vector<std::optional<std::string>>& params = {});

    // COPY FROM STDIN: the statement, `pieces` as CopyData, then CopyDone or
    // CopyFail; 'G' leads the types when the server asked for the data.
    WireResult CopyIn(const std::string& sql, const std::vector<std::string>& pieces, const char* failure = nullptr);

    int32_t Pid() const { return m_pid; }
    int32_t Key() const { return m_key; }
    const std::map<std::string, std::string>& ParameterStatus() const { return m_status; }
    int Fd() const { return m_fd; }
    void Close();

    static std::string Int16(int16_t v);
    static std::string Int32(int32_t v);
    static std::string Str(const std::string& s) { return s + std::string(1, '\0'); }

private:
    bool Receive(std::chrono::steady_clock::time_point deadline);
    void Absorb(const WireMessage& m, WireResult& r);
    // Reads into `r` up to a message of one of the types in `last`.
    void ReadInto(WireResult& r, int timeoutMs, const char* last = "Z");
    int m_fd = -1;
    std::string m_in;
    bool m_closed = false;  // the last read met the end of the stream
    int32_t m_pid = 0, m_key = 0;
    std::map<std::string, std::string> m_status;
};

// A value as binary results and KLVCPY cells carry it: bare little-endian.
template <typename T>
std::string Le(T v) {
    std::string s(sizeof v, '\0');
    std::memcpy(&s[0], &v, sizeof v);
    return s;
}
constexpr int64_t kJulian2000 = 2451545;  // the Julian day number of 2000-01-01
constexpr int64_t kMicrosPerDay = 86400000000LL;

// `data` cut into messages of `size` bytes.
std::vector<std::string> SplitInto(const std::string& data, size_t size);

// Sends a CancelRequest for (pid, key) to the endpoint.
bool SendCancel(const std::string& endpoint, int32_t pid, int32_t key);

}  // namespace kelvotest
