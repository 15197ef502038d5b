// See startup_peer.h.
#include "startup_peer.h"

#include "local_connection.h"
#include "scripted_peer.h"

#include <sys/socket.h>
#include <unistd.h>

namespace kelvotest {
namespace {

constexpr int kReadWaitMs = 5000;

uint32_t ReadBigEndian(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return (uint32_t(u[0]) << 24) | (uint32_t(u[1]) << 16) | (uint32_t(u[2]) << 8) | uint32_t(u[3]);
}

}  // namespace

bool PeerConnection::ReadExactly(char* out, size_t size) {
    size_t done = 0;
    while (done < size) {
        if (!WaitReadable(m_fd, kReadWaitMs))
            return false;
        ssize_t n = recv(m_fd, out + done, size - done, 0);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool PeerConnection::ReadStartupPacket(StartupPacket& packet) {
    char header[4];
    if (!ReadExactly(header, 4))
        return false;
    uint32_t length = ReadBigEndian(header);
    if (length < 8 || length > 100000)
        return false;
    std::string rest(length - 4, '\0');
    if (!ReadExactly(rest.data(), rest.size()))
        return false;
    packet.raw = std::string(header, 4) + rest;
    packet.version = ReadBigEndian(rest.data());
    packet.params.clear();
    if (packet.version >> 16 == 3) {
        for (auto& [name, value] : wire::StartupParameters(rest))
            packet.params[name] = value;
    }
    return true;
}

bool PeerConnection::ReadMessage(char& type, std::string& body) {
    char header[5];
    if (!ReadExactly(header, 5))
        return false;
    type = header[0];
    uint32_t length = ReadBigEndian(header + 1);
    if (length < 4 || length > 1000000)
        return false;
    body.assign(length - 4, '\0');
    return ReadExactly(body.data(), body.size());
}

bool PeerConnection::ReadOldQuery(std::string& query) {
    char c = 0;
    if (!ReadExactly(&c, 1) || c != 'Q')
        return false;
    query.clear();
    while (ReadExactly(&c, 1)) {
        if (c == '\0')
            return true;
        query += c;
    }
    return false;
}

void PeerConnection::Send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

void PeerConnection::SendInPieces(const std::string& bytes, size_t piece) {
    for (size_t pos = 0; pos < bytes.size(); pos += piece) {
        Send(bytes.substr(pos, piece));
        if (!WaitUntilDrained(m_fd, kReadWaitMs))
            return;
    }
}

bool PeerConnection::ClientClosed() {
    char buf[256];
    for (;;) {
        if (!WaitReadable(m_fd, kReadWaitMs))
            return false;
        ssize_t n = recv(m_fd, buf, sizeof buf, 0);
        if (n <= 0)
            return true;
    }
}

StartupPeer::StartupPeer(std::string dir, int port, std::vector<Script> scripts)
    : m_dir(std::move(dir)), m_port(port), m_scripts(std::move(scripts)) {
    m_listener = ListenUnix(SocketPath());
    m_thread = std::thread([this] { Serve(); });
}

StartupPeer::~StartupPeer() {
    m_stop = true;
    m_thread.join();
    close(m_listener);
    unlink(SocketPath().c_str());
}

void StartupPeer::Serve() {
    for (size_t next = 0; next < m_scripts.size() && !m_stop;) {
        if (!WaitReadable(m_listener, 20))
            continue;
        int fd = accept(m_listener, nullptr, nullptr);
        if (fd < 0)
            continue;
        ++m_accepted;
        PeerConnection connection(fd);
        m_scripts[next++](connection);
        close(fd);
    }
}

std::string StartupSuccess() {
    return wire::AuthenticationOk() + wire::ParameterStatus("server_version", "15.0") + wire::BackendKeyData(4242, 17) +
           wire::ReadyForQuery();
}

}  // namespace kelvotest
