// Listening, accepting and owning session threads.
#include "kelvod/process/listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

#include "kelvod/protocol/session.h"

namespace kelvod {

struct Listener::Running {
    std::unique_ptr<Session> session;
    std::thread thread;
    std::atomic<bool> done{false};
};

namespace {

std::string SystemText(int error) { return std::strerror(error); }

// Whether something accepts connections on the socket file: a live socket of
// someone else must never be disturbed, a stale file may be replaced.
bool IsLiveSocket(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return true;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    bool live = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 || errno != ECONNREFUSED;
    ::close(fd);
    return live;
}

int BindDomain(const std::string& path) {
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path) {
        throw ListenError("The socket path \"" + path + "\" is too long (at most " +
                          std::to_string(sizeof addr.sun_path - 1) + " bytes).");
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw ListenError("socket: " + SystemText(errno));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        int e = errno;
        ::close(fd);
        errno = e;
        return -1;
    }
    ::chmod(path.c_str(), 0600);
    return fd;
}

}  // namespace

Listener::Listener(const Endpoint& where, ServerState& server) : m_server(server), m_resolved(where) {
    if (where.kind == Endpoint::Kind::Pipe)
        throw ListenError("Named pipes are not served on this platform: " + where.ToString());
    if (where.kind == Endpoint::Kind::Domain) {
        std::error_code ec;
        std::string dir = where.directory.empty() ? "/" : std::filesystem::absolute(where.directory, ec).string();
        while (dir.size() > 1 && dir.back() == '/')
            dir.pop_back();
        if (!std::filesystem::is_directory(dir, ec))
            throw ListenError("The socket directory \"" + dir + "\" does not exist.");
        std::string prefix = dir == "/" ? "" : dir;
        if (where.name == "auto") {
            std::random_device rd;
            unsigned start = rd() % 65535;
            for (unsigned k = 0; k < 65535 && m_fd < 0; ++k) {
                unsigned n = (start + k) % 65535 + 1;
                std::string name = ".s.PGSQL." + std::to_string(n);
                std::string path = prefix + "/" + name;
                if (std::filesystem::exists(std::filesystem::symlink_status(path, ec)))
                    continue;
                m_fd = BindDomain(path);
                if (m_fd >= 0) {
                    m_socketPath = path;
                    m_resolved.name = name;
                } else if (errno != EADDRINUSE) {
                    throw ListenError("bind " + path + ": " + SystemText(errno));
                }
            }
            if (m_fd < 0)
                throw ListenError("No free socket name in " + dir + ".");
        } else {
            std::string path = prefix + "/" + where.name;
            if (std::filesystem::exists(std::filesystem::symlink_status(path, ec))) {
                if (IsLiveSocket(path))
                    throw ListenError("The socket " + path + " is in use.");
                ::unlink(path.c_str());
            }
            m_fd = BindDomain(path);
            if (m_fd < 0)
                throw ListenError("bind " + path + ": " + SystemText(errno));
            m_socketPath = path;
        }
        m_resolved.directory = dir == "/" ? "" : dir;
    } else {
        std::string host = where.host.empty() || where.host == "localhost" ? "127.0.0.1" : where.host;
        addrinfo hints{}, *res = nullptr;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
        if (::getaddrinfo(host.c_str(), std::to_string(where.port).c_str(), &hints, &res) != 0 || !res) {
            throw ListenError("Cannot listen on host \"" + where.host +
                              "\": only numeric addresses and localhost are served.");
        }
        m_fd = ::socket(res->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        if (m_fd >= 0)
            ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (m_fd < 0 || ::bind(m_fd, res->ai_addr, res->ai_addrlen) != 0) {
            int e = errno;
            ::freeaddrinfo(res);
            throw ListenError("bind " + where.ToString() + ": " + SystemText(e));
        }
        ::freeaddrinfo(res);
        sockaddr_storage bound{};
        socklen_t len = sizeof bound;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&bound), &len);
        m_resolved.host = host;
        m_resolved.port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                            : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    }
    if (::listen(m_fd, 128) != 0) {
        int e = errno;
        ::close(m_fd);
        if (!m_socketPath.empty())
            ::unlink(m_socketPath.c_str());
        throw ListenError("listen: " + SystemText(e));
    }
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd < 0) {
        int e = errno;
        ::close(m_fd);
        if (!m_socketPath.empty())
            ::unlink(m_socketPath.c_str());
        throw ListenError("eventfd: " + SystemText(e));
    }
}

Listener::~Listener() { Stop(); }

void Listener::Start() {
    m_acceptThread = std::thread([this] { AcceptLoop(); });
}

void Listener::AcceptLoop() {
    while (!m_stopping) {
        // The wake descriptor ends the wait as soon as Stop is called; the
        // time-out only bounds how long finished sessions wait to be reaped.
        pollfd p[2] = {{m_fd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        int r = ::poll(p, 2, 200);
        Reap(false);
        if (r <= 0 || m_stopping || (p[0].revents & POLLIN) == 0)
            continue;
        int client = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            // Out of descriptors or memory: wait for sessions to end instead of spinning.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        int one = 1;
        ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        // Large results go out in large writes; a socket that takes them whole
        // lets the client read without waiting for each one.
        int sendBuffer = 1 << 20;
        ::setsockopt(client, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
        auto running = std::make_unique<Running>();
        running->session = std::make_unique<Session>(m_server, client);
        Running* raw = running.get();
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping)
            break;  // the session's destructor closes the socket
        try {
            running->thread = std::thread([raw] {
                raw->session->Run();
                raw->done = true;
            });
        } catch (const std::system_error&) {
            // Out of threads: this client is turned away (its socket closes with
            // the session) and the server goes on serving the others.
            continue;
        }
        m_sessions.push_back(std::move(running));
    }
}

void Listener::Reap(bool all) {
    std::list<std::unique_ptr<Running>> finished;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_sessions.begin(); it != m_sessions.end();) {
            if (all || (*it)->done) {
                if (all)
                    (*it)->session->Stop();
                finished.push_back(std::move(*it));
                it = m_sessions.erase(it);
            } else {
                ++it;
            }
        }
    }
    // Sessions get a moment to tell their clients (57P01); one stuck sending to a
    // client that does not read (nothing sent for 2 s) is cut off, and so is any
    // session still going after 10 s. A statement that begins after the first
    // Stop misses its interrupt (the session was between reading the query and
    // running it), so a stopping session is told again until it ends.
    const auto start = std::chrono::steady_clock::now();
    for (auto& r : finished) {
        bool aborted = false;
        uint64_t sent = r->session->BytesSent();
        auto progress = std::chrono::steady_clock::now();
        while (all && !r->done) {
            const auto now = std::chrono::steady_clock::now();
            if (const uint64_t s = r->session->BytesSent(); s != sent)
                sent = s, progress = now;
            if (!aborted && (now - progress >= std::chrono::seconds(2) || now - start >= std::chrono::seconds(10))) {
                r->session->Abort();
                aborted = true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if (!r->done)
                r->session->Stop();
        }
        if (r->thread.joinable())
            r->thread.join();
        r->session.reset();
    }
}

void Listener::Stop() {
    if (m_fd < 0)
        return;
    m_stopping = true;
    const uint64_t one = 1;
    while (::write(m_wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
    if (m_acceptThread.joinable())
        m_acceptThread.join();
    ::close(m_fd);
    m_fd = -1;
    ::close(m_wakeFd);
    m_wakeFd = -1;
    if (!m_socketPath.empty())
        ::unlink(m_socketPath.c_str());
    Reap(true);
}

}  // namespace kelvod
