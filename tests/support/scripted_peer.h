// A scripted protocol peer for tests: listens on a Unix socket (named ".s.PGSQL.<port>" in a directory of its own, or
// in a given one where several peers sit side by side as redirect targets) and on loopback TCP, and plays one script
// per accepted connection: send these bytes, wait for a client message of this type, wait for the test to open a gate,
// close. Every byte a
// client sends is recorded. The builders in namespace `wire` make scripts
// easy to write: wire::RowDescription({...}) + wire::DataRow({...}) + ...
//
// Connections are served on threads of their own (a cancel request may arrive while another connection is open) and all
// are joined by Stop() or the destructor.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kelvotest {

namespace wire {

std::string Int16(int value);
std::string Int32(int64_t value);
inline std::string CStr(const std::string& text) { return text + std::string(1, '\0'); }  // text and its NUL
// A backend message: type byte, length word, body.
inline std::string Message(char type, const std::string& body) {
    return std::string(1, type) + Int32(static_cast<int64_t>(body.size()) + 4) + body;
}

struct Column {
    std::string name;
    uint32_t typid = 23;  // int4
    int typlen = 4;
    int format = 0;
    uint32_t tableid = 0;
    int columnid = 0;
    int atttypmod = -1;
};
std::string RowDescription(const std::vector<Column>& columns);
// std::nullopt is a NULL field.
std::string DataRow(const std::vector<std::optional<std::string>>& fields);
inline std::string CommandComplete(const std::string& tag) { return Message('C', CStr(tag)); }
inline std::string ReadyForQuery(char status = 'I') { return Message('Z', std::string(1, status)); }
inline std::string EmptyQueryResponse() { return Message('I', ""); }
inline std::string ParseComplete() { return Message('1', ""); }
inline std::string BindComplete() { return Message('2', ""); }
inline std::string NoData() { return Message('n', ""); }
inline std::string ParameterStatus(const std::string& name, const std::string& value) {
    return Message('S', CStr(name) + CStr(value));
}
inline std::string BackendKeyData(int32_t pid, int32_t key) { return Message('K', Int32(pid) + Int32(key)); }
// Fields in the order given: {{'S', "ERROR"}, {'C', "42P01"}, ...}.
std::string ErrorResponse(const std::vector<std::pair<char, std::string>>& fields);
std::string NoticeResponse(const std::vector<std::pair<char, std::string>>& fields);
inline std::string NotificationResponse(int32_t pid, const std::string& channel, const std::string& payload) {
    return Message('A', Int32(pid) + CStr(channel) + CStr(payload));
}
std::string CopyOutResponse(int format, const std::vector<int>& columnFormats);
std::string CopyInResponse(int format, const std::vector<int>& columnFormats);
inline std::string CopyData(const std::string& data) { return Message('d', data); }
inline std::string CopyDone() { return Message('c', ""); }
// 'R' with the request code and what follows it (a salt, mechanism names...).
inline std::string Authentication(int32_t code, const std::string& extra = "") {
    return Message('R', Int32(code) + extra);
}
inline std::string AuthenticationOk() { return Authentication(0); }

// The server's redirect message: session identifier, then per address its host type (0 name, 1 numeric address, 2
// socket directory), text and port.
struct RedirectTarget {
    int type;
    std::string address;
    std::string port;
};
std::string Redirect(const std::string& sessionIdentifier, const std::vector<RedirectTarget>& targets);

// The name/value pairs of a protocol 3.0 start-up packet body (as recorded by ExpectMessage(0)), after its protocol
// version word; empty when malformed.
std::vector<std::pair<std::string, std::string>> StartupParameters(const std::string& body);

}  // namespace wire

// One client message as the peer read it.
struct ClientMessage {
    char type = 0;  // 0 for a start-up packet, which has no type byte
    std::string body;
};

class ScriptedPeer {
public:
    // The script of one connection, built step by step.
    class Script {
    public:
        // With a piece size, sends each piece only once the client has read the one before (Unix socket only): each
        // arrives in a read of its own.
        Script& Send(std::string bytes, size_t piece = 0);
        // Sends bytes that several steps share (a long stream sent many times).
        Script& SendShared(std::shared_ptr<const std::string> bytes);
        // Reads until a whole client message of that type has arrived (type 0: a start-up packet or other untyped
        // packet). Messages of other types before it are recorded and passed over.
        Script& ExpectMessage(char type);
        // Reads until `count` more bytes have arrived than earlier steps
        // took (for protocol 2.0 messages, which have no length word).
        Script& ExpectBytes(size_t count);
        // Waits until the test calls ScriptedPeer::Open(gate).
        Script& Await(int gate);
        // Opens a gate itself, as ScriptedPeer::Open does: one connection's answer can wait for another connection's
        // message.
        Script& OpenGate(int gate);
        // Closes the connection: at once, or once the client has closed or lingerMs have passed, so a client that waits
        // for more than the script sends fails instead of hanging.
        Script& Close(int lingerMs = 0);

    private:
        friend class ScriptedPeer;
        struct Step {
            enum Kind { kSend, kExpect, kExpectBytes, kAwait, kOpen, kClose } kind;
            std::string bytes = {};
            std::shared_ptr<const std::string> shared = {};
            char type = 0;
            size_t count = 0;
            int gate = 0;
        };
        Script& Add(Step step);
        std::vector<Step> m_steps;
    };

    ScriptedPeer();
    // Listens on dir/.s.PGSQL.<port>; the directory stays the caller's.
    ScriptedPeer(std::string dir, int port);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    // The script for the next connection to arrive (by accept order).
    Script& AddConnection();
    // Begins accepting; call after the scripts are added.
    void Start();
    // Opens a gate that scripts Await.
    void Open(int gate);
    // Closes every connection, stops accepting and joins the threads.
    void Stop();
    // Blocks until connection `index` has been accepted and the peer has
    // closed it (its script ended with Close, or the client closed first). May be called from another thread before
    // Start.
    void WaitForClose(size_t index);

    // Where to connect: the socket directory and the socket in it.
    const std::string& SocketDirectory() const { return m_dir; }
    std::string SocketPath() const;

    // A blocking client socket connected to the peer (by Unix socket or TCP).
    int ConnectUnix() const;
    int ConnectTcp() const;

    // Everything connection `index` has sent so far, and its messages as
    // parsed by the Expect steps.
    std::string Received(size_t index) const;
    std::vector<ClientMessage> Messages(size_t index) const;
    // Script failures (the client closed early, a read failed).
    std::vector<std::string> Errors() const;
    // Connections accepted so far.
    size_t Accepted() const;

    static constexpr int kUnixPort = 5432;

private:
    struct ConnectionState {
        std::string received;
        std::vector<ClientMessage> messages;
        size_t parsed = 0;  // bytes of `received` split into messages
        bool closed = false;
    };

    void AcceptLoop();
    void Serve(size_t index, int fd);
    bool ReadMore(size_t index, int fd, int timeoutMs = -1);
    bool TakeMessage(size_t index, const Script::Step& step, bool& found);
    // Runs one step of a script; false once the connection is to be closed.
    bool RunStep(size_t index, int fd, const Script::Step& step);
    void Fail(const std::string& what);

    std::string m_dir;
    int m_port = kUnixPort;
    bool m_ownsDir = true;
    int m_unixListener = -1;
    int m_tcpListener = -1;
    int m_tcpPort = 0;
    int m_wakePipe[2] = {-1, -1};

    std::vector<Script> m_scripts;
    std::vector<ConnectionState> m_connections;
    std::vector<std::thread> m_threads;
    std::thread m_acceptThread;

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;  // a gate opened or a connection closed
    std::vector<int> m_openGates;
    std::vector<std::string> m_errors;
    size_t m_accepted = 0;
    bool m_stopping = false;
    bool m_accepting = false;  // Start has sized m_connections
    bool m_started = false;
};

}  // namespace kelvotest
