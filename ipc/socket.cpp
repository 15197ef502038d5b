// The blocking IPC socket over the event loop of ipc/network.h. Completion
// handlers run on the loop thread and hold a share of the implementation
// object, so that nothing they touch is freed under them; every field they
// touch is guarded by the implementation's mutex.
#include "ipc/socket.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "ipc/network.h"

namespace {

using boost::system::error_code;
namespace ip = boost::asio::ip;
using DomainProtocol = boost::asio::local::stream_protocol;

// A one-shot event shared by a waiter and the sockets it waits on.
struct ActivityEvent {
    std::mutex mutex;
    std::condition_variable blocker;
    bool raised = false;

    void Notify() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            raised = true;
        }
        blocker.notify_all();
    }

    void Wait(int timeoutInMS) {
        std::unique_lock<std::mutex> lock(mutex);
        if (timeoutInMS == 0) {
            blocker.wait(lock, [this] { return raised; });
        } else {
            blocker.wait_for(lock, std::chrono::milliseconds(timeoutInMS), [this] { return raised; });
        }
    }
};

[[noreturn]] void ThrowErrorException(const std::string& when, const error_code& error) {
    if (error == boost::asio::error::eof)
        throw IPC_Socket::socket_closed("The connection was closed by the peer " + when);
    throw std::runtime_error("An error has occurred " + when + ": " + error.message());
}

// A stream socket descriptor that is close-on-exec from its first moment.
int OpenCloseOnExecSocket(int family) {
    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw boost::system::system_error(error_code(errno, boost::system::system_category()), "open");
    return fd;
}

// A stale socket file is removed only when it is a socket of this user; any
// other file at the path stays, and the bind then fails on it.
void RemoveStaleSocketFile(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_uid == ::geteuid())
        ::unlink(path.c_str());
}

bool IsLoopback(const ip::address& address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return ip::make_address_v4(ip::v4_mapped, address.to_v6()).is_loopback();
    return address.is_loopback();
}

std::string RandomSocketName() {
    std::string name = boost::uuids::to_string(boost::uuids::random_generator()());
    name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
    return name;
}

std::atomic<IPC_AcceptFunction> gAccept{&::accept4};

}  // namespace

void IPC_SetAcceptFunctionForTesting(IPC_AcceptFunction accept) {
    gAccept.store(accept != nullptr ? accept : &::accept4);
}

struct IPC_Socket::IPC_Socket_Impl : std::enable_shared_from_this<IPC_Socket_Impl> {
    explicit IPC_Socket_Impl(std::shared_ptr<IPC_Network> network_) : network(std::move(network_)) {}

    bool IsConnectedLocked() const { return socket || domainSocket; }
    bool IsListeningLocked() const { return tcpAcceptor || domainAcceptor; }

    int ConnectedFd() const { return socket ? socket->native_handle() : domainSocket->native_handle(); }

    bool HasActivityLocked() const {
        if (IsListeningLocked())
            return !accepted.empty();
        if (IsConnectedLocked()) {
            if (readReady)
                return true;
            int pending = 0;
            if (::ioctl(ConnectedFd(), FIONREAD, &pending) != 0)
                throw boost::system::system_error(error_code(errno, boost::system::system_category()), "io_control");
            return pending > 0;
        }
        return false;
    }

    void ArmAccept() {
        if (acceptArmed || !IsListeningLocked())
            return;
        acceptArmed = true;
        auto self = shared_from_this();
        auto handler = [self](const error_code& error) { self->OnAcceptReady(error); };
        if (tcpAcceptor) {
            tcpAcceptor->async_wait(IPC_Network::TcpAcceptor::wait_read, handler);
        } else {
            domainAcceptor->async_wait(IPC_Network::DomainAcceptor::wait_read, handler);
        }
    }

    // Accepts with accept4 so that the new descriptor is close-on-exec at once.
    void OnAcceptReady(const error_code& error) {
        std::shared_ptr<ActivityEvent> toNotify;
        {
            std::lock_guard<std::mutex> lock(mutex);
            acceptArmed = false;
            if (error == boost::asio::error::operation_aborted || !IsListeningLocked())
                return;
            bool retryLater = static_cast<bool>(error);
            if (!error) {
                const int listenFd = tcpAcceptor ? tcpAcceptor->native_handle() : domainAcceptor->native_handle();
                const int fd = gAccept.load()(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) {
                    if (TakeAccepted(fd))
                        toNotify = event;
                } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
                    retryLater = true;
                }
            }
            // A persistent failure (no descriptors left, say) must not keep
            // the loop thread busy: the next attempt waits a little.
            if (retryLater) {
                retryTimer = std::make_unique<boost::asio::steady_timer>(network->GetIoContext());
                retryTimer->expires_after(std::chrono::milliseconds(100));
                auto self = shared_from_this();
                retryTimer->async_wait([self](const error_code& timerError) {
                    std::lock_guard<std::mutex> lock(self->mutex);
                    if (!timerError)
                        self->ArmAccept();
                });
            } else {
                ArmAccept();
            }
        }
        if (toNotify)
            toNotify->Notify();
    }

    bool TakeAccepted(int fd) {
        try {
            auto impl = std::make_shared<IPC_Socket_Impl>(network);
            if (tcpAcceptor) {
                impl->socket = network->CreateNetworkSocket();
                impl->socket->assign(tcpAcceptor->local_endpoint().protocol(), fd);
            } else {
                impl->domainSocket = network->CreateDomainNetworkSocket();
                impl->domainSocket->assign(DomainProtocol(), fd);
            }
            accepted.push_back(std::make_unique<IPC_Socket>(std::move(impl)));
            return true;
        } catch (const std::exception&) {
            ::close(fd);
            return false;
        }
    }

    void ArmReadWait() {
        if (readWaitArmed || !IsConnectedLocked())
            return;
        readWaitArmed = true;
        auto self = shared_from_this();
        auto handler = [self](const error_code& error) {
            std::shared_ptr<ActivityEvent> toNotify;
            {
                std::lock_guard<std::mutex> lock(self->mutex);
                self->readWaitArmed = false;
                if (error == boost::asio::error::operation_aborted)
                    return;
                self->readReady = !error;
                if (self->readReady)
                    toNotify = self->event;
            }
            if (toNotify)
                toNotify->Notify();
        };
        if (socket) {
            socket->async_wait(IPC_Network::TcpSocket::wait_read, handler);
        } else {
            domainSocket->async_wait(IPC_Network::DomainSocket::wait_read, handler);
        }
    }

    void CloseListenerLocked() {
        if (retryTimer) {
            retryTimer->cancel();
            retryTimer.reset();
        }
        error_code ignored;
        if (tcpAcceptor) {
            tcpAcceptor->close(ignored);
            tcpAcceptor.reset();
        }
        if (domainAcceptor) {
            domainAcceptor->close(ignored);
            domainAcceptor.reset();
            RemoveStaleSocketFile(domainPath);
        }
        accepted.clear();
    }

    // Shut down before close: a copy of the descriptor in a forked process
    // must not keep the peer from seeing the end of the connection.
    void CloseConnectionLocked() {
        error_code error;
        if (socket) {
            socket->shutdown(IPC_Network::TcpSocket::shutdown_both, error);
            socket->close(error);
            socket.reset();
            if (error)
                throw boost::system::system_error(error, "close");
        }
        if (domainSocket) {
            domainSocket->shutdown(IPC_Network::DomainSocket::shutdown_both, error);
            domainSocket->close(error);
            domainSocket.reset();
            if (error)
                throw boost::system::system_error(error, "close");
        }
    }

    std::shared_ptr<IPC_Network> network;
    mutable std::mutex mutex;
    std::unique_ptr<IPC_Network::TcpAcceptor> tcpAcceptor;
    std::unique_ptr<IPC_Network::DomainAcceptor> domainAcceptor;
    std::string domainPath;
    std::unique_ptr<boost::asio::steady_timer> retryTimer;
    bool acceptArmed = false;
    std::deque<IPC_SocketPtr> accepted;
    std::unique_ptr<IPC_Network::TcpSocket> socket;
    std::unique_ptr<IPC_Network::DomainSocket> domainSocket;
    bool readWaitArmed = false;
    bool readReady = false;
    std::shared_ptr<ActivityEvent> event;
    // The receive in flight: a completion of an older generation (one that
    // was abandoned) is ignored.
    std::condition_variable recvCond;
    bool recvCompleted = true;
    error_code recvError;
    size_t bytesRecv = 0;
    unsigned recvGeneration = 0;
};

IPC_Socket::IPC_Socket() : m_impl(std::make_shared<IPC_Socket_Impl>(IPC_Network::GetInstance())) {}

IPC_Socket::IPC_Socket(std::shared_ptr<IPC_Socket_Impl> impl) : m_impl(std::move(impl)) {}

IPC_Socket::~IPC_Socket() {
    try {
        Disconnect();
    } catch (const std::exception&) {
    }
}

bool IPC_Socket::IsConnected() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->IsConnectedLocked();
}

bool IPC_Socket::IsReceiving() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return !m_impl->recvCompleted;
}

bool IPC_Socket::IsListening() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->IsListeningLocked();
}

namespace {

void TryListenTo(IPC_Network& network, std::unique_ptr<IPC_Network::TcpAcceptor>& acceptor, const ip::address& address,
                 unsigned short port, bool reuseAddress) {
    acceptor = network.CreateAcceptor();
    const ip::tcp protocol = address.is_v6() ? ip::tcp::v6() : ip::tcp::v4();
    acceptor->assign(protocol, OpenCloseOnExecSocket(protocol.family()));
    acceptor->set_option(ip::tcp::acceptor::reuse_address(reuseAddress));
    acceptor->bind(ip::tcp::endpoint(address, port));
    error_code error;
    acceptor->listen(128, error);
    if (error)
        throw boost::system::system_error(error, "listen");
    acceptor->non_blocking(true);
}

}  // namespace

void IPC_Socket::Listen(unsigned short port, const std::string& hostname, bool allowRemote, bool fallbackToIPV4,
                        bool reuseAddress) {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    if (m_impl->IsConnectedLocked())
        throw std::runtime_error("socket already connected (socket::listen)");
    m_impl->CloseListenerLocked();

    ip::address address = ip::address_v6::any();
    if (hostname == "localhost") {
        address = ip::address_v6::loopback();
    } else if (!hostname.empty()) {
        error_code error;
        address = ip::make_address(hostname, error);
        if (error)
            throw std::runtime_error("cannot bind listener to invalid hostname: " + hostname + ", " + error.message());
        if (!allowRemote && !IsLoopback(address))
            throw std::runtime_error("cannot bind to remote IP:" + hostname + ", ");
    }

    try {
        TryListenTo(*m_impl->network, m_impl->tcpAcceptor, address, port, reuseAddress);
    } catch (const std::exception&) {
        const bool anyAddress = hostname.empty();
        if (!(address.is_v6() && fallbackToIPV4 && (anyAddress || address.is_loopback()))) {
            m_impl->tcpAcceptor.reset();
            throw;
        }
        m_impl->tcpAcceptor.reset();
        const ip::address v4 =
            anyAddress ? ip::address(ip::address_v4::any()) : ip::address(ip::address_v4::loopback());
        try {
            TryListenTo(*m_impl->network, m_impl->tcpAcceptor, v4, port, reuseAddress);
        } catch (...) {
            m_impl->tcpAcceptor.reset();
            throw;
        }
    }
    m_impl->ArmAccept();
}

void IPC_Socket::SetLocalDomainName(const std::string& hostName, const std::string& localDomainName) {
    const std::string name = localDomainName == "auto" ? RandomSocketName() : localDomainName;
    m_descriptor = std::make_unique<IPC_DomainSocketConnectionDescriptor>(hostName, name);
}

void IPC_Socket::Listen(const std::string& hostName, const std::string& localDomainName, bool /*allowRemote*/) {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    if (m_impl->IsConnectedLocked())
        throw std::runtime_error("socket already connected (socket::listen)");
    m_impl->CloseListenerLocked();
    SetLocalDomainName(hostName, localDomainName);
    const std::string path = m_descriptor->GetFullName();

    RemoveStaleSocketFile(path);
    auto acceptor = m_impl->network->CreateDomainAcceptor();
    const int fd = OpenCloseOnExecSocket(AF_UNIX);
    // The socket file takes the socket's own mode (less the umask), so it is
    // private from its first moment. The process-wide umask is changed only
    // where that is refused: other threads of the application may be
    // creating files meanwhile.
    const bool modeSet = ::fchmod(fd, 0600) == 0;
    acceptor->assign(DomainProtocol(), fd);
    acceptor->set_option(IPC_Network::DomainAcceptor::reuse_address(true));
    error_code error;
    const DomainProtocol::endpoint endpoint(path);
    const mode_t previousMask = modeSet ? 0 : ::umask(0177);
    acceptor->bind(endpoint, error);
    if (!modeSet)
        ::umask(previousMask);
    if (error)
        ThrowErrorException("while binding to unix domain socket", error);
    m_impl->domainPath = path;
    m_impl->domainAcceptor = std::move(acceptor);
    (void)::chmod(path.c_str(), 0600);
    m_impl->domainAcceptor->listen(128, error);
    if (!error)
        m_impl->domainAcceptor->non_blocking(true, error);
    if (error) {
        m_impl->CloseListenerLocked();
        ThrowErrorException("while listening to unix domain socket", error);
    }
    m_impl->ArmAccept();
}

IPC_SocketPtr IPC_Socket::Accept() {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_impl->mutex);
            if (!m_impl->IsListeningLocked())
                throw std::runtime_error("socket not listening (socket::accept)");
            if (!m_impl->accepted.empty()) {
                IPC_SocketPtr next = std::move(m_impl->accepted.front());
                m_impl->accepted.pop_front();
                return next;
            }
        }
        WaitForActivity({this}, 0);
    }
}

size_t IPC_Socket::Recv(char* buf, size_t len, int timeoutInMS) {
    if (!IsConnected())
        throw socket_closed("Socket not connected");
    if (buf == nullptr)
        throw buffer_is_null("Receive");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutInMS);

    size_t count = 0;
    error_code error;
    for (int attempt = 0; attempt <= m_recvAttemptLimit; ++attempt) {
        std::unique_lock<std::mutex> lock(m_impl->mutex);
        m_impl->bytesRecv = 0;
        m_impl->readReady = false;
        if (!m_impl->IsConnectedLocked())
            return 0;
        // The data lands in a buffer of the receive's own: after a time-out
        // the caller's buffer may be gone while the receive still completes.
        auto received = std::make_shared<std::vector<char>>(len);
        const unsigned generation = ++m_impl->recvGeneration;
        m_impl->recvCompleted = false;
        m_impl->recvError = {};
        auto self = m_impl;
        auto handler = [self, generation](const error_code& ec, size_t n) {
            {
                std::lock_guard<std::mutex> guard(self->mutex);
                if (generation != self->recvGeneration || self->recvCompleted)
                    return;
                self->recvError = ec;
                self->bytesRecv = n;
                self->recvCompleted = true;
            }
            self->recvCond.notify_all();
        };
        auto buffer = boost::asio::buffer(received->data(), len);
        if (m_impl->socket) {
            m_impl->socket->async_receive(buffer,
                                          [received, handler](const error_code& ec, size_t n) { handler(ec, n); });
        } else {
            m_impl->domainSocket->async_receive(
                buffer, [received, handler](const error_code& ec, size_t n) { handler(ec, n); });
        }

        const auto done = [this] { return m_impl->recvCompleted; };
        if (timeoutInMS > 0) {
            if (!m_impl->recvCond.wait_until(lock, deadline, done)) {
                lock.unlock();
                Disconnect();
                throw socket_closed("The wait for data timed out in IPC_Socket::Recv(len=" + std::to_string(len) + ")");
            }
        } else {
            m_impl->recvCond.wait(lock, done);
        }
        error = m_impl->recvError;
        if (error == boost::asio::error::operation_aborted)
            throw socket_closed("Socket closed while receiving.");
        count = m_impl->bytesRecv;
        std::copy(received->begin(), received->begin() + static_cast<std::ptrdiff_t>(std::min(count, len)), buf);
        if (error != boost::asio::error::try_again)
            break;
    }
    if (count > len) {
        throw std::runtime_error("IPC_Socket::Recv(len=" + std::to_string(len) + ", n=" + std::to_string(count) +
                                 "): Length out of range");
    }
    if (error)
        ThrowErrorException("in IPC_Socket::Recv(len=" + std::to_string(len) + ")", error);
    return count;
}

bool IPC_Socket::HasActivity() {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->HasActivityLocked();
}

bool IPC_Socket::WaitForActivity(const std::set<IPC_Socket*>& sockets, int timeoutInMS) {
    const auto anyActive = [&sockets] {
        for (IPC_Socket* socket : sockets) {
            if (socket->HasActivity())
                return true;
        }
        return false;
    };
    if (anyActive())
        return true;
    if (timeoutInMS < 0)
        return false;

    auto event = std::make_shared<ActivityEvent>();
    for (IPC_Socket* socket : sockets) {
        bool active = false;
        {
            std::lock_guard<std::mutex> lock(socket->m_impl->mutex);
            socket->m_impl->event = event;
            // A closed socket has nothing to wait for.
            active = socket->m_impl->HasActivityLocked() ||
                     !(socket->m_impl->IsListeningLocked() || socket->m_impl->IsConnectedLocked());
            socket->m_impl->ArmReadWait();
            socket->m_impl->ArmAccept();
        }
        if (active)
            event->Notify();
    }
    event->Wait(timeoutInMS);
    for (IPC_Socket* socket : sockets) {
        std::lock_guard<std::mutex> lock(socket->m_impl->mutex);
        socket->m_impl->event.reset();
    }
    return anyActive();
}

void IPC_Socket::Disconnect() {
    {
        std::lock_guard<std::mutex> lock(m_impl->mutex);
        if (!m_impl->recvCompleted) {
            m_impl->recvCompleted = true;
            m_impl->recvError = boost::asio::error::operation_aborted;
        }
    }
    m_impl->recvCond.notify_all();
    // A thread waiting for activity on this socket (Accept among them) wakes
    // and finds it closed, instead of waiting for what can no longer come.
    std::shared_ptr<ActivityEvent> waiter;
    {
        std::lock_guard<std::mutex> lock(m_impl->mutex);
        waiter = m_impl->event;
        try {
            m_impl->CloseListenerLocked();
            m_impl->CloseConnectionLocked();
        } catch (...) {
            if (waiter)
                waiter->Notify();
            throw;
        }
    }
    if (waiter)
        waiter->Notify();
}

void IPC_Socket::GetMyEndpoint(std::string& ip, unsigned short& port) {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    error_code error;
    ip::tcp::endpoint endpoint;
    if (m_impl->socket) {
        endpoint = m_impl->socket->local_endpoint(error);
    } else if (m_impl->tcpAcceptor) {
        endpoint = m_impl->tcpAcceptor->local_endpoint(error);
    } else {
        throw socket_closed(" Socket not connected nor listening");
    }
    if (error)
        ThrowErrorException("while getting the local endpoint", error);
    port = endpoint.port();
    const ip::address address = endpoint.address();
    ip = address.is_v6() && address.is_unspecified() ? "::1" : address.to_string();
}

std::optional<IPC_Socket::PeerCredentials> IPC_Socket::GetPeerCredentials() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    if (!m_impl->domainSocket)
        return std::nullopt;
    struct ucred credentials {};
    socklen_t length = sizeof credentials;
    if (::getsockopt(m_impl->domainSocket->native_handle(), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0)
        return std::nullopt;
    return PeerCredentials{credentials.pid, credentials.uid};
}

bool IPC_Socket::PeerIsLoopback() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    if (!m_impl->socket)
        return false;
    error_code error;
    const ip::tcp::endpoint peer = m_impl->socket->remote_endpoint(error);
    return !error && IsLoopback(peer.address());
}
