// The callback listener over IPC sockets.
#include "ipc/server_proxy.h"

#include <unistd.h>

#include <array>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace {

// Remaining milliseconds until the deadline, at least 1 so that a positive
// time-out stays bounded; 0 means no deadline.
int MillisecondsUntil(std::chrono::steady_clock::time_point deadline) {
    using namespace std::chrono;
    if (deadline == steady_clock::time_point::max())
        return 0;
    const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
    if (left <= 0)
        return 1;
    return left > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max() : static_cast<int>(left);
}

}  // namespace

std::string_view CallbackMessageText(std::string_view body) { return body.substr(0, body.find('\0')); }

IPC_ServerProxyPtr IPC_ServerProxy::MakeProxy(const IPC_ConnectionDescriptor& server) {
    if (const auto* tcp = dynamic_cast<const IPC_SocketConnectionDescriptor*>(&server)) {
        // An empty host would listen on every address; the call-back only
        // ever comes from this machine.
        const std::string host = tcp->GetHostName().empty() ? "localhost" : tcp->GetHostName();
        return std::make_unique<IPC_SocketServerProxy>(tcp->GetPort(), host);
    }
    if (const auto* domain = dynamic_cast<const IPC_DomainSocketConnectionDescriptor*>(&server))
        return std::make_unique<IPC_SocketServerProxy>(domain->GetDirectoryName(), domain->GetDomainName());
    throw std::range_error("Unknown descriptor type");
}

IPC_SocketServerProxy::IPC_SocketServerProxy(unsigned short callbackPort, const std::string& hostname)
    : m_listenSocket(std::make_unique<IPC_Socket>()), m_IsLocalDomain(false) {
    m_listenSocket->Listen(callbackPort, hostname, false, true, true);
}

IPC_SocketServerProxy::IPC_SocketServerProxy(const std::string& proxyHostName, const std::string& proxyLocalDomainName)
    : m_listenSocket(std::make_unique<IPC_Socket>()), m_IsLocalDomain(true) {
    m_listenSocket->Listen(proxyHostName, proxyLocalDomainName, false);
}

IPC_SocketServerProxy::~IPC_SocketServerProxy() {
    try {
        Close();
    } catch (const std::exception&) {
    }
}

void IPC_SocketServerProxy::Close() {
    if (m_listenSocket) {
        m_listenSocket->Disconnect();
        m_listenSocket.reset();
    }
    if (m_callbackSocket) {
        m_callbackSocket->Disconnect();
        m_callbackSocket.reset();
    }
}

std::unique_ptr<IPC_ConnectionDescriptor> IPC_SocketServerProxy::GetProxyDescriptor() const {
    if (!m_listenSocket)
        throw std::logic_error("the callback listener is closed");
    if (m_IsLocalDomain)
        return m_listenSocket->GetDescriptor()->clone();
    std::string ip;
    unsigned short port = 0;
    m_listenSocket->GetMyEndpoint(ip, port);
    return std::make_unique<IPC_SocketConnectionDescriptor>(ip, port);
}

bool IPC_SocketServerProxy::PeerIsTrusted(const IPC_Socket& socket) const {
    if (!m_IsLocalDomain)
        return socket.PeerIsLoopback();
    const auto credentials = socket.GetPeerCredentials();
    return credentials && credentials->uid == ::geteuid() &&
           (m_expectedPeer == 0 || credentials->pid == m_expectedPeer);
}

void IPC_SocketServerProxy::ReadExactly(char* buf, size_t len) {
    size_t got = 0;
    while (got < len) {
        const size_t n = m_callbackSocket->Recv(buf + got, len - got, MillisecondsUntil(m_deadline));
        // No bytes means the connection is gone: waiting on would never end.
        if (n == 0)
            throw IPC_Socket::socket_closed("Socket not connected");
        got += n;
    }
}

bool IPC_SocketServerProxy::WaitForServer(int timeout, bool keepSocket) {
    if (!m_listenSocket)
        return false;
    IPC_Socket::WaitForActivity({m_listenSocket.get()}, timeout);
    bool called = m_listenSocket->HasActivity();
    if (called) {
        if (m_callbackSocket) {
            m_callbackSocket->Disconnect();
            m_callbackSocket.reset();
        }
        m_callbackSocket = m_listenSocket->Accept();
        if (!PeerIsTrusted(*m_callbackSocket)) {
            m_callbackSocket.reset();
            called = false;
        } else {
            unsigned char length = 0;
            ReadExactly(reinterpret_cast<char*>(&length), 1);
            std::array<char, 256> body{};
            ReadExactly(body.data(), length);
            m_server = IPC_ConnectionDescriptor::Parse(CallbackMessageText(std::string_view(body.data(), length)));
        }
    }
    if (called || !keepSocket) {
        m_listenSocket->Disconnect();
        m_listenSocket.reset();
    }
    return called;
}
