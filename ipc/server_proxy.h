// The callback listener: before the server is spawned the library listens on
// a callback endpoint; the server connects to it once it serves and sends one
// message, a length byte N followed by N bytes of the descriptor of the
// endpoint on which it serves. The connection stays open for the server's
// life; closing it is the server's signal to stop.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "ipc/connection_descriptor.h"
#include "ipc/socket.h"

class IPC_ServerProxy;
using IPC_ServerProxyPtr = std::unique_ptr<IPC_ServerProxy>;

class IPC_ServerProxy {
public:
    virtual ~IPC_ServerProxy() = default;
    // timeout in ms: 0 waits without limit, negative only looks. Returns
    // true when a call-back was accepted and read. The listening socket is
    // dropped after a call-back, or when keepSocket is false.
    virtual bool WaitForServer(int timeout, bool keepSocket) = 0;
    virtual void Close() = 0;
    virtual std::unique_ptr<IPC_ConnectionDescriptor> GetProxyDescriptor() const = 0;
    virtual const std::unique_ptr<IPC_ConnectionDescriptor>& GetServerDescriptor() const = 0;

    // Only this process of this user may call back over a Unix-domain
    // socket; a connection from anyone else is dropped unread.
    virtual void SetExpectedPeer(pid_t pid) = 0;
    // Reading the message of an accepted connection stops at this moment; a
    // peer that connects and stays silent is dropped then.
    virtual void SetReceiveDeadline(std::chrono::steady_clock::time_point deadline) = 0;

    // A TCP proxy for a TCP descriptor (an empty host listens on loopback),
    // a Unix-domain proxy for a Unix-domain one; std::range_error otherwise.
    static IPC_ServerProxyPtr MakeProxy(const IPC_ConnectionDescriptor& server);
};

class IPC_SocketServerProxy final : public IPC_ServerProxy {
public:
    IPC_SocketServerProxy(unsigned short callbackPort, const std::string& hostname);
    IPC_SocketServerProxy(const std::string& proxyHostName, const std::string& proxyLocalDomainName);
    ~IPC_SocketServerProxy() override;

    bool WaitForServer(int timeout, bool keepSocket) override;
    void Close() override;
    std::unique_ptr<IPC_ConnectionDescriptor> GetProxyDescriptor() const override;
    const std::unique_ptr<IPC_ConnectionDescriptor>& GetServerDescriptor() const override { return m_server; }
    void SetExpectedPeer(pid_t pid) override { m_expectedPeer = pid; }
    void SetReceiveDeadline(std::chrono::steady_clock::time_point deadline) override { m_deadline = deadline; }

private:
    bool PeerIsTrusted(const IPC_Socket& socket) const;
    void ReadExactly(char* buf, size_t len);

    IPC_SocketPtr m_listenSocket;
    IPC_SocketPtr m_callbackSocket;
    std::unique_ptr<IPC_ConnectionDescriptor> m_server;
    const bool m_IsLocalDomain;
    pid_t m_expectedPeer = 0;
    std::chrono::steady_clock::time_point m_deadline = std::chrono::steady_clock::time_point::max();
};

// The descriptor text of a call-back message body: its bytes up to the first
// zero byte.
std::string_view CallbackMessageText(std::string_view body);
