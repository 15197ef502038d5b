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
    steps_.push_back(std::move(step));
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

ScriptedPeer::ScriptedPeer(std::string dir, int port) : dir_(std::move(dir)), port_(port), ownsDir_(dir_.empty()) {
    char tmpl[] = "/tmp/kelvo-peer-XXXXXX";
    if (ownsDir_ && mkdtemp(tmpl) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    if (ownsDir_)
        dir_ = tmpl;

    unixListener_ = ListenUnix(SocketPath());
    tcpListener_ = ListenTcpLoopback(tcpPort_);

    if (pipe2(wakePipe_, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
}

ScriptedPeer::~ScriptedPeer() {
    Stop();
    for (int fd : {unixListener_, tcpListener_, wakePipe_[0], wakePipe_[1]})
        if (fd >= 0)
            close(fd);
    unlink(SocketPath().c_str());
    if (ownsDir_)
        rmdir(dir_.c_str());
}

std::string ScriptedPeer::SocketPath() const { return dir_ + "/.s.PGSQL." + std::to_string(port_); }

ScriptedPeer::Script& ScriptedPeer::AddConnection() {
    scripts_.emplace_back();
    return scripts_.back();
}

void ScriptedPeer::Start() {
    {
        // WaitForClose may already be waiting on another thread.
        std::lock_guard<std::mutex> lock(mutex_);
        connections_.resize(scripts_.size());
        accepting_ = true;
        changed_.notify_all();
    }
    started_ = true;
    acceptThread_ = std::thread([this] { AcceptLoop(); });
}

void ScriptedPeer::Open(int gate) {
    std::lock_guard<std::mutex> lock(mutex_);
    openGates_.push_back(gate);
    changed_.notify_all();
}

void ScriptedPeer::Stop() {
    if (!started_)
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        changed_.notify_all();
    }
    char byte = 1;
    ssize_t ignored = write(wakePipe_[1], &byte, 1);
    (void)ignored;
    if (acceptThread_.joinable())
        acceptThread_.join();
    for (std::thread& t : threads_)
        if (t.joinable())
            t.join();
    threads_.clear();
    started_ = false;
}

int ScriptedPeer::ConnectUnix() const { return ConnectToSocketFile(SocketPath()); }

int ScriptedPeer::ConnectTcp() const { return ConnectToAddress("127.0.0.1", static_cast<unsigned short>(tcpPort_)); }

std::string ScriptedPeer::Received(size_t index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return index < connections_.size() ? connections_[index].received : std::string();
}

std::vector<ClientMessage> ScriptedPeer::Messages(size_t index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return index < connections_.size() ? connections_[index].messages : std::vector<ClientMessage>();
}

std::vector<std::string> ScriptedPeer::Errors() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return errors_;
}

size_t ScriptedPeer::Accepted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return accepted_;
}

void ScriptedPeer::Fail(const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex_);
    errors_.push_back(what);
}

void ScriptedPeer::AcceptLoop() {
    size_t next = 0;
    while (next < scripts_.size()) {
        pollfd fds[3] = {{unixListener_, POLLIN, 0}, {tcpListener_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            Fail("poll on the listeners failed");
            return;
        }
        if (fds[2].revents)
            return;
        for (int i = 0; i < 2 && next < scripts_.size(); ++i) {
            if (!(fds[i].revents & POLLIN))
                continue;
            int fd = accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            const size_t index = next++;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                accepted_ = next;
            }
            threads_.emplace_back([this, index, fd] { Serve(index, fd); });
        }
    }
}

// Reads what the client sent (waiting for it, for Stop, or at most timeoutMs). False on EOF, error, stop or time-out.
bool ScriptedPeer::ReadMore(size_t index, int fd, int timeoutMs) {
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
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
        std::lock_guard<std::mutex> lock(mutex_);
        connections_[index].received.append(buf, static_cast<size_t>(n));
        return true;
    }
}

// Splits complete messages off the received bytes; found is set when the step's message (or its count of bytes) was
// among them. An untyped packet (start-up, cancel, SSL request) is only recognised while expecting one.
bool ScriptedPeer::TakeMessage(size_t index, const Script::Step& step, bool& found) {
    std::lock_guard<std::mutex> lock(mutex_);
    ConnectionState& c = connections_[index];
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
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] {
                return stopping_ || std::find(openGates_.begin(), openGates_.end(), step.gate) != openGates_.end();
            });
            return !stopping_;
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
    for (const Script::Step& step : scripts_[index].steps_) {
        if (open)
            open = RunStep(index, fd, step);
    }
    // After the script: keep recording until the client closes or Stop().
    while (open && ReadMore(index, fd)) {
    }
    close(fd);
    std::lock_guard<std::mutex> lock(mutex_);
    connections_[index].closed = true;
    changed_.notify_all();
}

void ScriptedPeer::WaitForClose(size_t index) {
    std::unique_lock<std::mutex> lock(mutex_);
    // Before Start there is nothing to wait for yet, not nothing to wait for.
    changed_.wait(lock, [&] {
        return stopping_ || (accepting_ && (index >= connections_.size() || connections_[index].closed));
    });
}

}  // namespace kelvotest
