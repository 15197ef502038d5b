// IPC_Socket: a small blocking socket over the IPC event loop, for the
// callback listener. It listens on TCP or on a Unix-domain socket, accepts in
// the background, and receives with a bounded wait. It never connects out
// and never sends.
//
// Every descriptor it makes is close-on-exec, so a process that the
// application forks and executes meanwhile holds none of them.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>

#include "ipc/connection_descriptor.h"

class IPC_Socket;
using IPC_SocketPtr = std::unique_ptr<IPC_Socket>;

// How listeners take a pending connection (accept4 unless a test makes
// accepting fail); nullptr restores accept4.
using IPC_AcceptFunction = int (*)(int fd, sockaddr* address, socklen_t* length, int flags);
void IPC_SetAcceptFunctionForTesting(IPC_AcceptFunction accept);

class IPC_Socket {
public:
    class socket_closed : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };
    class buffer_is_null : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };
    // The peer's credentials as the kernel recorded them at connect time.
    struct PeerCredentials {
        pid_t pid;
        uid_t uid;
    };
    struct IPC_Socket_Impl;

    IPC_Socket();
    explicit IPC_Socket(std::shared_ptr<IPC_Socket_Impl> impl);
    IPC_Socket(const IPC_Socket&) = delete;
    IPC_Socket& operator=(const IPC_Socket&) = delete;
    // Disconnects; errors of that are swallowed.
    ~IPC_Socket();

    // TCP. The host is empty (every address), "localhost" (::1) or a numeric
    // address; names are never resolved.
    void Listen(unsigned short port, const std::string& hostname, bool allowRemote, bool fallbackToIPV4,
                bool reuseAddress);
    // Unix domain, in directory hostName; "auto" names the socket randomly.
    void Listen(const std::string& hostName, const std::string& localDomainName, bool allowRemote);
    void SetLocalDomainName(const std::string& hostName, const std::string& localDomainName);
    const IPC_DomainSocketConnectionDescriptor* GetDescriptor() const { return m_descriptor.get(); }

    // The oldest accepted connection, waiting for one without limit.
    IPC_SocketPtr Accept();
    // At least one and at most len bytes. timeoutInMS > 0 bounds the wait;
    // when it passes, socket_closed is thrown and the socket is disconnected.
    size_t Recv(char* buf, size_t len, int timeoutInMS = 0);

    // Whether any socket of the set has a pending connection or readable
    // data. A negative time-out only looks, 0 waits without limit.
    static bool WaitForActivity(const std::set<IPC_Socket*>& sockets, int timeoutInMS);
    bool HasActivity();
    bool IsConnected() const;
    bool IsListening() const;
    // Whether a thread is waiting in Recv on this socket.
    bool IsReceiving() const;
    void Disconnect();
    void GetMyEndpoint(std::string& ip, unsigned short& port);

    // SO_PEERCRED of a connected Unix-domain socket; empty for TCP.
    std::optional<PeerCredentials> GetPeerCredentials() const;
    // Whether a connected TCP socket's peer has a loopback address.
    bool PeerIsLoopback() const;

private:
    std::shared_ptr<IPC_Socket_Impl> m_impl;
    const int m_recvAttemptLimit = 100;
    std::unique_ptr<IPC_DomainSocketConnectionDescriptor> m_descriptor;
};
