// The scripted protocol peer; see scripted_peer.h.
#include "scripted_peer.h"

#include "local_connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace kelvotest {

namespace wire {

std::string Int16(int value) { return {static_cast<char>((value >> 8) & 0xFF), static_cast<char>(value & 0xFF)}; }

std::string Int32(int64_t value) {
    const uint32_t v = static_cast<uint32_t>(value);
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

std::string RowDescription(const std::vector<Column>& columns) {
    std::string body = Int16(static_cast<int>(columns.size()));
    for (const Column& c : columns) {
        body += CStr(c.name) + Int32(c.tableid) + Int16(c.columnid) + Int32(c.typid) + Int16(c.typlen) +
                Int32(c.atttypmod) + Int16(c.format);
    }
    return Message('T', body);
}

std::string DataRow(const std::vector<std::optional<std::string>>& fields) {
    std::string body = Int16(static_cast<int>(fields.size()));
    for (const auto& f : fields)
        body += f ? Int32(static_cast<int64_t>(f->size())) + *f : Int32(-1);
    return Message('D', body);
}

static std::string fieldsBody(const std::vector<std::pair<char, std::string>>& fields) {
    std::string body;
    for (const auto& [code, text] : fields)
        body += std::string(1, code) + CStr(text);
    return body + std::string(1, '\0');
}

std::string ErrorResponse(const std::vector<std::pair<char, std::string>>& fields) {
    return Message('E', fieldsBody(fields));
}
std::string NoticeResponse(const std::vector<std::pair<char, std::string>>& fields) {
    return Message('N', fieldsBody(fields));
}

static std::string copyResponse(char type, int format, const std::vector<int>& columnFormats) {
    std::string body(1, static_cast<char>(format));
    body += Int16(static_cast<int>(columnFormats.size()));
    for (int f : columnFormats)
        body += Int16(f);
    return Message(type, body);
}

std::string CopyOutResponse(int format, const std::vector<int>& columnFormats) {
    return copyResponse('H', format, columnFormats);
}
std::string CopyInResponse(int format, const std::vector<int>& columnFormats) {
    return copyResponse('G', format, columnFormats);
}

std::string Redirect(const std::string& sessionIdentifier, const std::vector<RedirectTarget>& targets) {
    std::string body = CStr(sessionIdentifier) + Int32(static_cast<int64_t>(targets.size()));
    for (const RedirectTarget& t : targets)
        body += std::string(1, static_cast<char>(t.type)) + CStr(t.address) + CStr(t.port);
    return Message('@', body);
}

std::vector<std::pair<std::string, std::string>> StartupParameters(const std::string& body) {
    std::vector<std::pair<std::string, std::string>> out;
    size_t pos = 4;  // the protocol version
    while (pos < body.size() && body[pos] != '\0') {
        const size_t nameEnd = body.find('\0', pos);
        if (nameEnd == std::string::npos)
            return {};
        const size_t valueEnd = body.find('\0', nameEnd + 1);
        if (valueEnd == std::string::npos)
            return {};
        out.emplace_back(body.substr(pos, nameEnd - pos), body.substr(nameEnd + 1, valueEnd - nameEnd - 1));
        pos = valueEnd + 1;
    }
    if (pos + 1 != body.size())
        return {};
    return out;
}

}  // namespace wire

ScriptedPeer::Script& ScriptedPeer::Script::Add(Step step) {
    m_steps.push_back(std::move(step));
    return *this;
}

ScriptedPeer::Script& ScriptedPeer::Script::Send(std::string bytes, size_t piece) {
    return Add({Step::kSend, std::move(bytes), {}, 0, piece});
}
ScriptedPeer::Script& ScriptedPeer::Script::SendShared(std::shared_ptr<const std::string> bytes) {
    return Add({Step::kSend, {}, std::move(bytes)});
}
ScriptedPeer::Script& ScriptedPeer::Script::ExpectMessage(char type) { return Add({Step::kExpect, {}, {}, type}); }
ScriptedPeer::Script& ScriptedPeer::Script::ExpectBytes(size_t count) {
    return Add({Step::kExpectBytes, {}, {}, 0, count});
}
ScriptedPeer::Script& ScriptedPeer::Script::Await(int gate) { return Add({Step::kAwait, {}, {}, 0, 0, gate}); }
ScriptedPeer::Script& ScriptedPeer::Script::OpenGate(int gate) { return Add({Step::kOpen, {}, {}, 0, 0, gate}); }
ScriptedPeer::Script& ScriptedPeer::Script::Close(int lingerMs) {
    return Add({Step::kClose, {}, {}, 0, static_cast<size_t>(lingerMs)});
}

ScriptedPeer::ScriptedPeer() : ScriptedPeer("", kUnixPort) {}

ScriptedPeer::ScriptedPeer(std::string dir, int port) : m_dir(std::move(dir)), m_port(port), m_ownsDir(m_dir.empty()) {
    char tmpl[] = "/tmp/kelvo-peer-XXXXXX";
    if (m_ownsDir && mkdtemp(tmpl) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    if (m_ownsDir)
        m_dir = tmpl;

    m_unixListener = ListenUnix(SocketPath());
    m_tcpListener = ListenTcpLoopback(m_tcpPort);

    if (pipe2(m_wakePipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
}

ScriptedPeer::~ScriptedPeer() {
    Stop();
    for (int fd : {m_unixListener, m_tcpListener, m_wakePipe[0], m_wakePipe[1]}) {
        if (fd >= 0)
            close(fd);
    }
    unlink(SocketPath().c_str());
    if (m_ownsDir)
        rmdir(m_dir.c_str());
}

std::string ScriptedPeer::SocketPath() const { return m_dir + "/.s.PGSQL." + std::to_string(m_port); }

ScriptedPeer::Script& ScriptedPeer::AddConnection() {
    m_scripts.emplace_back();
    return m_scripts.back();
}

void ScriptedPeer::Start() {
    {
        // WaitForClose may already be waiting on another thread.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_connections.resize(m_scripts.size());
        m_accepting = true;
        m_changed.notify_all();
    }
    m_started = true;
    m_acceptThread = std::thread([this] { AcceptLoop(); });
}

void ScriptedPeer::Open(int gate) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_openGates.push_back(gate);
    m_changed.notify_all();
}

void ScriptedPeer::Stop() {
    if (!m_started)
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        m_changed.notify_all();
    }
    char byte = 1;
    ssize_t ignored = write(m_wakePipe[1], &byte, 1);
    (void)ignored;
    if (m_acceptThread.joinable())
        m_acceptThread.join();
    for (std::thread& t : m_threads) {
        if (t.joinable())
            t.join();
    }
    m_threads.clear();
    m_started = false;
}

int ScriptedPeer::ConnectUnix() const { return ConnectToSocketFile(SocketPath()); }

int ScriptedPeer::ConnectTcp() const { return ConnectToAddress("127.0.0.1", static_cast<unsigned short>(m_tcpPort)); }

std::string ScriptedPeer::Received(size_t index) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return index < m_connections.size() ? m_connections[index].received : std::string();
}

std::vector<ClientMessage> ScriptedPeer::Messages(size_t index) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return index < m_connections.size() ? m_connections[index].messages : std::vector<ClientMessage>();
}

std::vector<std::string> ScriptedPeer::Errors() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_errors;
}

size_t ScriptedPeer::Accepted() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_accepted;
}

void ScriptedPeer::Fail(const std::string& what) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_errors.push_back(what);
}

void ScriptedPeer::AcceptLoop() {
    size_t next = 0;
    while (next < m_scripts.size()) {
        pollfd fds[3] = {{m_unixListener, POLLIN, 0}, {m_tcpListener, POLLIN, 0}, {m_wakePipe[0], POLLIN, 0}};
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            Fail("poll on the listeners failed");
            return;
        }
        if (fds[2].revents)
            return;
        for (int i = 0; i < 2 && next < m_scripts.size(); ++i) {
            if (!(fds[i].revents & POLLIN))
                continue;
            int fd = accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            const size_t index = next++;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_accepted = next;
            }
            m_threads.emplace_back([this, index, fd] { Serve(index, fd); });
        }
    }
}

// Reads what the client sent (waiting for it, for Stop, or at most timeoutMs). False on EOF, error, stop or time-out.
bool ScriptedPeer::ReadMore(size_t index, int fd, int timeoutMs) {
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {m_wakePipe[0], POLLIN, 0}};
        const int ready = poll(fds, 2, timeoutMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        if (fds[1].revents && !(fds[0].revents & POLLIN))
            return false;
        char buf[65536];
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_connections[index].received.append(buf, static_cast<size_t>(n));
        return true;
    }
}

// Splits complete messages off the received bytes; found is set when the step's message (or its count of bytes) was
// among them. An untyped packet (start-up, cancel, SSL request) is only recognised while expecting one.
bool ScriptedPeer::TakeMessage(size_t index, const Script::Step& step, bool& found) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ConnectionState& c = m_connections[index];
    for (;;) {
        const size_t avail = c.received.size() - c.parsed;
        const unsigned char* p = reinterpret_cast<const unsigned char*>(c.received.data()) + c.parsed;
        if (step.kind == Script::Step::kExpectBytes) {
            found = avail >= step.count;
            if (found) {
                c.messages.push_back({0, c.received.substr(c.parsed, step.count)});
                c.parsed += step.count;
            }
            return true;
        }
        const size_t header = step.type == 0 ? 4 : 5;
        if (avail < header)
            return true;
        const size_t lenAt = header - 4;
        const uint32_t len = (uint32_t(p[lenAt]) << 24) | (uint32_t(p[lenAt + 1]) << 16) |
                             (uint32_t(p[lenAt + 2]) << 8) | uint32_t(p[lenAt + 3]);
        if (len < 4)
            return false;
        if (avail < lenAt + len)
            return true;
        ClientMessage m;
        m.type = step.type == 0 ? 0 : static_cast<char>(p[0]);
        m.body.assign(reinterpret_cast<const char*>(p) + header, len - 4);
        c.messages.push_back(m);
        c.parsed += lenAt + len;
        if (m.type == step.type) {
            found = true;
            return true;
        }
    }
}

bool ScriptedPeer::RunStep(size_t index, int fd, const Script::Step& step) {
    const std::string where = "connection " + std::to_string(index) + ": ";
    switch (step.kind) {
        case Script::Step::kSend: {
            const std::string& bytes = step.shared ? *step.shared : step.bytes;
            const size_t piece = step.count != 0 ? step.count : bytes.size();
            for (size_t sent = 0; sent < bytes.size();) {
                const size_t end = std::min(bytes.size(), (sent / piece + 1) * piece);
                const ssize_t n = send(fd, bytes.data() + sent, end - sent, MSG_NOSIGNAL);
                if (n <= 0 && errno != EINTR) {
                    Fail(where + "send failed");
                    return false;
                }
                sent += n > 0 ? static_cast<size_t>(n) : 0;
                if (step.count != 0 && sent == end && !WaitUntilDrained(fd, 5000)) {
                    Fail(where + "the client stopped reading");
                    return false;
                }
            }
            return true;
        }
        case Script::Step::kExpect:
        case Script::Step::kExpectBytes:
            for (;;) {
                bool found = false;
                if (!TakeMessage(index, step, found)) {
                    Fail(where + "malformed client message");
                    return false;
                }
                if (found)
                    return true;
                if (!ReadMore(index, fd)) {
                    Fail(where + "closed while expecting " +
                         (step.kind == Script::Step::kExpectBytes ? std::to_string(step.count) + " bytes"
                                                                  : std::string("message type ") + step.type));
                    return false;
                }
            }
        case Script::Step::kAwait: {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait(lock, [&] {
                return m_stopping || std::find(m_openGates.begin(), m_openGates.end(), step.gate) != m_openGates.end();
            });
            return !m_stopping;
        }
        case Script::Step::kOpen:
            Open(step.gate);
            return true;
        case Script::Step::kClose: {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(step.count);
            for (;;) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
                if (left.count() <= 0 || !ReadMore(index, fd, static_cast<int>(left.count())))
                    break;
            }
            break;
        }
    }
    return false;
}

void ScriptedPeer::Serve(size_t index, int fd) {
    bool open = true;
    for (const Script::Step& step : m_scripts[index].m_steps) {
        if (open)
            open = RunStep(index, fd, step);
    }
    // After the script: keep recording until the client closes or Stop().
    while (open && ReadMore(index, fd)) {
    }
    close(fd);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connections[index].closed = true;
    m_changed.notify_all();
}

void ScriptedPeer::WaitForClose(size_t index) {
    std::unique_lock<std::mutex> lock(m_mutex);
    // Before Start there is nothing to wait for yet, not nothing to wait for.
    m_changed.wait(lock, [&] {
        return m_stopping || (m_accepting && (index >= m_connections.size() || m_connections[index].closed));
    });
}

}  // namespace kelvotest
