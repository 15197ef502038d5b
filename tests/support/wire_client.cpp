// The test-side protocol client.
#include "wire_client.h"

#include "local_connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

namespace kelvotest {

namespace {

// The server reports a domain socket or a numeric IPv4 loopback address.
int ConnectTo(const std::string& descriptor) {
    if (descriptor.rfind("pel.domain://", 0) == 0) {
        const std::string rest = descriptor.substr(13);
        const size_t d = rest.find("/domain/");
        return d == std::string::npos ? -1 : ConnectToSocketFile(rest.substr(0, d) + "/" + rest.substr(d + 8));
    }
    if (descriptor.rfind("pel.tcp://", 0) != 0)
        return -1;
    const std::string rest = descriptor.substr(10);
    const size_t colon = rest.rfind(':');
    if (colon == std::string::npos)
        return -1;
    return ConnectToAddress(rest.substr(0, colon), static_cast<unsigned short>(std::atoi(rest.c_str() + colon + 1)));
}

uint32_t Be32(const std::string& s, size_t at) {
    return (uint32_t(uint8_t(s[at])) << 24) | (uint32_t(uint8_t(s[at + 1])) << 16) |
           (uint32_t(uint8_t(s[at + 2])) << 8) | uint32_t(uint8_t(s[at + 3]));
}
int16_t Be16(const std::string& s, size_t at) {
    return static_cast<int16_t>((uint8_t(s[at]) << 8) | uint8_t(s[at + 1]));
}

WireError ParseError(const std::string& body) {
    WireError e;
    std::string other;
    for (size_t p = 0, end; p < body.size() && body[p] != '\0'; p = end + 1) {
        end = std::min(body.find('\0', p + 1), body.size());
        (body[p] == 'S'   ? e.severity
         : body[p] == 'C' ? e.sqlstate
         : body[p] == 'M' ? e.message
                          : other) = body.substr(p + 1, end - p - 1);
    }
    return e;
}

}  // namespace

std::string WireResult::Value(size_t row, size_t column) const {
    // A column that is not there is a fault, not a NULL.
    if (row < rows.size() && column >= rows[row].size())
        ADD_FAILURE() << "row " << row << " has no column " << column << " (it has " << rows[row].size() << ")";
    if (row >= rows.size() || column >= rows[row].size() || !rows[row][column])
        return "<null>";
    return *rows[row][column];
}

std::string WireResult::Outcome() const {
    std::string out;
    for (const auto& tag : tags)
        out += (out.empty() ? "" : ", ") + tag;
    for (const auto& error : errors)
        out += (out.empty() ? "" : ", ") + error.sqlstate;
    return out;
}

WireClient::~WireClient() { Close(); }

void WireClient::Close() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

std::string WireClient::Int16(int16_t v) {
    auto u = static_cast<uint16_t>(v);
    return {static_cast<char>(u >> 8), static_cast<char>(u)};
}
std::string WireClient::Int32(int32_t v) {
    auto u = static_cast<uint32_t>(v);
    return {static_cast<char>(u >> 24), static_cast<char>(u >> 16), static_cast<char>(u >> 8), static_cast<char>(u)};
}

bool WireClient::ConnectSocket(const std::string& endpoint) {
    Close();
    m_fd = ConnectTo(endpoint);
    return m_fd >= 0;
}

void WireClient::SendRaw(const std::string& bytes) {
    size_t sent = 0;
    while (m_fd >= 0 && sent < bytes.size()) {
        ssize_t n = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        sent += static_cast<size_t>(n);
    }
}

void WireClient::SendMessage(char type, const std::string& body) {
    SendRaw(std::string(1, type) + Int32(static_cast<int32_t>(body.size() + 4)) + body);
}

// Appends what arrives before the deadline; false on time-out, end or error.
bool WireClient::Receive(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{m_fd, POLLIN, 0};
    m_closed = false;
    if (m_fd < 0 || left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
        return false;
    char buf[65536];
    const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
    m_closed = n <= 0;
    if (n > 0)
        m_in.append(buf, static_cast<size_t>(n));
    return n > 0;
}

WireMessage WireClient::Read(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
        if (m_in.size() >= 5 && m_in.size() >= Be32(m_in, 1) + 1) {
            const uint32_t len = Be32(m_in, 1);
            WireMessage m{m_in[0], m_in.substr(5, len - 4)};
            m_in.erase(0, len + 1);
            return m;
        }
    } while (Receive(deadline));
    return {};
}

bool WireClient::WaitClosed(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Receive(deadline)) {
    }
    return m_closed;
}

void WireClient::Absorb(const WireMessage& m, WireResult& r) {
    r.types.push_back(m.type);
    switch (m.type) {
        case 'T': {
            r.columns.clear();
            for (size_t p = 2; r.columns.size() < static_cast<size_t>(std::max<int16_t>(Be16(m.body, 0), 0));) {
                const size_t end = m.body.find('\0', p), at = end + 7;  // past the table's OID and column number
                r.columns.push_back({m.body.substr(p, end - p), Be32(m.body, at), Be16(m.body, at + 4),
                                     static_cast<int32_t>(Be32(m.body, at + 6)), Be16(m.body, at + 10)});
                p = at + 12;
            }
            break;
        }
        case 'D': {
            const auto n = static_cast<size_t>(std::max<int16_t>(Be16(m.body, 0), 0));
            if (!r.columns.empty() && n != r.columns.size())
                ADD_FAILURE() << "a DataRow of " << n << " fields after a RowDescription of " << r.columns.size();
            auto& row = r.rows.emplace_back();
            for (size_t p = 2; row.size() < n;) {
                const auto len = static_cast<int32_t>(Be32(m.body, p));
                row.push_back(len < 0 ? std::nullopt
                                      : std::optional<std::string>(m.body.substr(p + 4, static_cast<size_t>(len))));
                p += 4 + static_cast<size_t>(std::max(len, 0));
            }
            break;
        }
        case 'C':
            r.tags.push_back(m.body.substr(0, m.body.find('\0')));
            break;
        case 't':
            r.parameterTypes.clear();
            for (int i = 0; i < Be16(m.body, 0); ++i)
                r.parameterTypes.push_back(Be32(m.body, 2 + 4 * static_cast<size_t>(i)));
            break;
        case 'E':
            r.errors.push_back(ParseError(m.body));
            break;
        case 'N':
            r.notices.push_back(ParseError(m.body));
            break;
        case 'Z':
            r.status = m.body.empty() ? '?' : m.body[0];
            break;
        case 'K':
            m_pid = static_cast<int32_t>(Be32(m.body, 0));
            m_key = static_cast<int32_t>(Be32(m.body, 4));
            break;
        case 'S': {
            size_t end = m.body.find('\0');
            m_status[m.body.substr(0, end)] = m.body.substr(end + 1, m.body.find('\0', end + 1) - end - 1);
            break;
        }
        case 'd':
            r.copyData += m.body;
            break;
        default:
            break;
    }
}

void WireClient::ReadInto(WireResult& r, int timeoutMs, const char* last) {
    for (WireMessage m = Read(timeoutMs); m.type != 0; m = Read(timeoutMs)) {
        Absorb(m, r);
        if (std::strchr(last, m.type) != nullptr)
            return;
    }
}

WireResult WireClient::ReadUntilReady(int timeoutMs) {
    WireResult r;
    ReadInto(r, timeoutMs);
    return r;
}

WireResult WireClient::CopyIn(const std::string& sql, const std::vector<std::string>& pieces, const char* failure) {
    SendMessage('Q', Str(sql));
    WireResult r;
    WireMessage first = Read();
    if (first.type == 0)
        return r;
    Absorb(first, r);
    if (first.type == 'G') {
        for (const auto& p : pieces)
            SendMessage('d', p);
        failure ? SendMessage('f', Str(failure)) : SendMessage('c', "");
    }
    if (first.type != 'Z')
        ReadInto(r, 10000);
    return r;
}

std::vector<std::string> SplitInto(const std::string& data, size_t size) {
    std::vector<std::string> pieces;
    for (size_t i = 0; i < data.size(); i += size)
        pieces.push_back(data.substr(i, size));
    return pieces;
}

WireResult WireClient::Startup(const std::vector<std::pair<std::string, std::string>>& parameters) {
    std::string body = Int32(196608);
    for (const auto& [k, v] : parameters)
        body += Str(k) + Str(v);
    body.push_back('\0');
    SendRaw(Int32(static_cast<int32_t>(body.size() + 4)) + body);
    WireResult r;
    ReadInto(r, 10000, "ZE");
    return r;
}

WireResult WireClient::Open(const std::string& endpoint, const std::string& dbname, const std::string& options) {
    if (!ConnectSocket(endpoint))
        return {};
    std::vector<std::pair<std::string, std::string>> p{{"user", "pellory_internal_user"}, {"database", dbname}};
    if (!options.empty())
        p.emplace_back("options", options);
    return Startup(p);
}

WireResult WireClient::Query(const std::string& sql) {
    SendMessage('Q', Str(sql));
    return ReadUntilReady();
}

void WireClient::SendExtended(const std::string& sql, const std::vector<std::optional<std::string>>& params,
                              char describe, int16_t resultFormat) {
    SendMessage('P', Str("") + Str(sql) + Int16(0));
    if (describe == 'S')
        SendMessage('D', "S" + Str(""));
    std::string bind = Str("") + Str("") + Int16(0) + Int16(static_cast<int16_t>(params.size()));
    for (const auto& p : params)
        bind += p ? Int32(static_cast<int32_t>(p->size())) + *p : Int32(-1);
    bind += Int16(1) + Int16(resultFormat);
    SendMessage('B', bind);
    if (describe == 'P')
        SendMessage('D', "P" + Str(""));
    SendMessage('E', Str("") + Int32(0));
}

WireResult WireClient::Extended(const std::string& sql, int16_t resultFormat,
                                const std::vector<std::optional<std::string>>& params) {
    SendExtended(sql, params, 'P', resultFormat);
    SendMessage('S', "");
    return ReadUntilReady();
}

bool SendCancel(const std::string& endpoint, int32_t pid, int32_t key) {
    WireClient c;
    if (!c.ConnectSocket(endpoint))
        return false;
    c.SendRaw(WireClient::Int32(16) + WireClient::Int32(80877102) + WireClient::Int32(pid) + WireClient::Int32(key));
    return c.WaitClosed(5000);
}

}  // namespace kelvotest
