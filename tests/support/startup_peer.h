// A scripted server for connection start-up tests: it listens on a Unix
// socket "<dir>/.s.PGSQL.<port>" and hands each connection it accepts, in
// order, to the next script, on a thread of its own. Unlike ScriptedPeer it
// serves several peers side by side in one directory (redirect targets), and
// its scripts are code: they read the start-up packet and client messages
// and send whatever bytes the test wants, split however the test wants, each
// piece reaching the client in a read of its own.
//
// Every read waits at most a few seconds, so a script that expects more than
// the client sends ends instead of hanging the test.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kelvotest {

struct StartupPacket {
    uint32_t version = 0;                       // 196608 for 3.0, 131072 for 2.0
    std::map<std::string, std::string> params;  // protocol 3.0 name/value pairs
    std::string raw;                            // the whole packet, length word included
};

class PeerConnection {
public:
    explicit PeerConnection(int fd) : m_fd(fd) {}
    // False when the client closed or sent nothing in time.
    bool ReadStartupPacket(StartupPacket& packet);
    // A typed message: the type byte and the body after the length word.
    bool ReadMessage(char& type, std::string& body);
    // A protocol 2.0 query: 'Q' and the NUL-terminated text.
    bool ReadOldQuery(std::string& query);
    void Send(const std::string& bytes);
    // Sends bytes in pieces of at most piece bytes, each only once the client
    // has read the one before, so that each arrives in a read of its own.
    void SendInPieces(const std::string& bytes, size_t piece);
    // True once the client has closed the connection (within a few seconds).
    bool ClientClosed();

private:
    bool ReadExactly(char* out, size_t size);
    int m_fd;
};

class StartupPeer {
public:
    using Script = std::function<void(PeerConnection&)>;

    // Listens on dir/.s.PGSQL.port and serves one script per connection.
    StartupPeer(std::string dir, int port, std::vector<Script> scripts);
    ~StartupPeer();
    StartupPeer(const StartupPeer&) = delete;
    StartupPeer& operator=(const StartupPeer&) = delete;

    std::string SocketPath() const { return m_dir + "/.s.PGSQL." + std::to_string(m_port); }
    // Connections accepted so far.
    int Accepted() const { return m_accepted.load(); }

private:
    void Serve();

    std::string m_dir;
    int m_port;
    std::vector<Script> m_scripts;
    int m_listener = -1;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_accepted{0};
    std::thread m_thread;
};

// AuthenticationOk, server_version, BackendKeyData and ReadyForQuery.
std::string StartupSuccess();

}  // namespace kelvotest
