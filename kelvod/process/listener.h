// The socket the server accepts clients on, and the sessions it started. The
// listener owns every session thread and joins them when it stops.
#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "kelvod/process/endpoint.h"
#include "kelvod/process/server_state.h"

namespace kelvod {

struct ListenError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Listener {
public:
    // Binds and listens at once; throws ListenError. The resolved endpoint
    // (absolute directory, concrete socket name or port) is what clients use.
    Listener(const Endpoint& where, ServerState& server);
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    const Endpoint& Resolved() const { return m_resolved; }
    void Start();  // accepts in a thread of its own
    // Stops accepting, ends every session, joins the threads and removes the socket file.
    void Stop();

private:
    struct Running;
    void AcceptLoop();
    void Reap(bool all);

    ServerState& m_server;
    Endpoint m_resolved;
    int m_fd = -1;
    int m_wakeFd = -1;         // written once by Stop to end the accept loop's poll
    std::string m_socketPath;  // Unix-domain only
    std::atomic<bool> m_stopping{false};
    std::thread m_acceptThread;
    std::mutex m_mutex;
    std::list<std::unique_ptr<Running>> m_sessions;
};

}  // namespace kelvod
