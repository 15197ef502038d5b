// The in-process session the server fuzz targets talk to.
#include "session_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

#include "duckdb.h"
#include "kelvod/loading/load_feed.h"
#include "kelvod/process/server_state.h"
#include "kelvod/protocol/session.h"
#include "kelvod/sql/catalog.h"
#include "kelvod/sql/file_access.h"
#include "kelvod/values/bytea_text.h"

namespace kelvofuzz {

namespace {

// Bounded so that a session's total is easy to compare with the server's bound.
constexpr uint64_t kPendingBound = 64u << 20;
const std::string kServerTypes = "RSKZTDCIEN123tnsGHdcA";

std::string ScalarText(duckdb_connection connection, const char* sql) {
    duckdb_result result;
    TrapIf(duckdb_query(connection, sql, &result) == DuckDBError);
    char* text = duckdb_row_count(&result) > 0 ? duckdb_value_varchar(&result, 0, 0) : nullptr;
    std::string value = text ? text : "";
    duckdb_free(text);
    duckdb_destroy_result(&result);
    return value;
}

}  // namespace

std::string ErrorField(const std::string& body, char code) {
    std::string found;
    size_t at = 0;
    for (size_t nul; at < body.size() && body[at] != '\0'; at = nul + 1) {
        nul = body.find('\0', at + 1);
        TrapIf(nul == std::string::npos);
        found = body[at] == code ? body.substr(at + 1, nul - at - 1) : found;
    }
    TrapIf(at + 1 != body.size());  // the terminating NUL ends the body
    return found;
}

struct SessionPeer::State {
    std::filesystem::path dir;
    duckdb_database engine = nullptr;
    std::unique_ptr<kelvod::ServerState> server;
    std::unique_ptr<kelvod::Session> session;
    std::thread thread;
    std::string in;
    bool closed = false;
};

// Where every input's databases are made, in memory where there is such a file system: the files are made and synced
// for every input. Removed at exit.
const std::filesystem::path& BaseDirectory() {
    // Never destroyed, so that the removal at exit still knows it.
    static const std::filesystem::path* base = [] {
        char dirTemplate[] = "/dev/shm/kelvo-fuzz-XXXXXX";
        if (::access("/dev/shm", W_OK) != 0)
            std::memcpy(dirTemplate, "/tmp/", 5);
        TrapIf(::mkdtemp(dirTemplate) == nullptr);
        return new std::filesystem::path(dirTemplate);
    }();
    static const int removal = std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(*base, ignored);
    });
    (void)removal;
    return *base;
}

// One engine for every input: opening one costs far more than an input's work. Each input gets databases of its own,
// which it leaves detached.
duckdb_database Engine() {
    static duckdb_database engine = [] {
        duckdb_database e = nullptr;
        duckdb_config config;
        TrapIf(duckdb_create_config(&config) == DuckDBError ||
               duckdb_set_config(config, "threads", "2") == DuckDBError);
        TrapIf(duckdb_open_ext(nullptr, &e, config, nullptr) == DuckDBError);
        duckdb_destroy_config(&config);
        duckdb_connection setup;
        TrapIf(duckdb_connect(e, &setup) == DuckDBError);
        // Set up as the server sets its engine up.
        kelvod::RegisterByteaCast(setup);
        kelvod::RegisterLoadFeedFunction(setup);
        ScalarText(setup, "SET GLOBAL integer_division = true");
        kelvod::LockEngineDown(setup, (BaseDirectory() / "spill").string(), {BaseDirectory().string()}, {});
        duckdb_disconnect(&setup);
        return e;
    }();
    return engine;
}

SessionPeer::SessionPeer() : m_state(new State) {
    std::string dirTemplate = (BaseDirectory() / "input-XXXXXX").string();
    TrapIf(::mkdtemp(dirTemplate.data()) == nullptr);
    m_state->dir = dirTemplate;
    m_state->engine = Engine();
    // A main database, made as the server makes it, for the session to attach.
    const std::string main = (m_state->dir / "main.kelvo").string();
    duckdb_connection setup;
    TrapIf(duckdb_connect(m_state->engine, &setup) == DuckDBError);
    ScalarText(setup, ("ATTACH '" + main + "' AS setup").c_str());
    ScalarText(setup, "CREATE SCHEMA setup.public");
    kelvod::PrepareServerSchema(setup, "setup");
    ScalarText(setup, "DETACH setup");
    duckdb_disconnect(&setup);
    m_state->server =
        std::make_unique<kelvod::ServerState>(m_state->engine, main, m_state->dir.string(), kPendingBound);
    int fds[2];
    TrapIf(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0);
    m_fd = fds[1];
    ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
    m_state->session = std::make_unique<kelvod::Session>(*m_state->server, fds[0]);
    m_state->thread = std::thread([this] { m_state->session->Run(); });
    const std::string body = Be32(196608) + CStr("user") + CStr("fuzz") + CStr("database") + CStr(":main") + CStr("");
    std::vector<ServerMessage> welcome = Exchange(Be32(static_cast<int64_t>(body.size()) + 4) + body, 'Z');
    TrapIf(welcome.empty() || welcome.front().type != 'R' || welcome.back().type != 'Z');
}

std::vector<ServerMessage> SessionPeer::Exchange(const std::string& bytes, char until) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kHangSeconds);
    std::vector<ServerMessage> messages;
    size_t sent = 0;
    bool sending = true;
    for (;;) {
        while (m_state->in.size() >= 5) {
            const int32_t length = ReadBe32(m_state->in, 1);
            TrapIf(kServerTypes.find(m_state->in[0]) == std::string::npos || length < 4);
            if (m_state->in.size() < static_cast<size_t>(length) + 1)
                break;
            messages.push_back({m_state->in[0], m_state->in.substr(5, static_cast<size_t>(length) - 4)});
            m_state->in.erase(0, static_cast<size_t>(length) + 1);
            if (until != 0 && messages.back().type == until && sent == bytes.size())
                return messages;
        }
        if (m_state->closed) {
            if (!m_state->in.empty())  // a message cut short by the end of the session
                __builtin_trap();
            return messages;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        TrapIf(left.count() <= 0);  // neither an answer nor the end: the session hangs
        pollfd p{m_fd, static_cast<short>(POLLIN | (sending && sent < bytes.size() ? POLLOUT : 0)), 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) < 0)
            continue;
        if ((p.revents & POLLOUT) && sending) {
            const ssize_t n = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n > 0)
                sent += static_cast<size_t>(n);
            else if (n < 0 && errno != EAGAIN)
                sending = false;  // the session ended; what it said is still to be read
        }
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            char buf[65536];
            const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
            if (n > 0)
                m_state->in.append(buf, static_cast<size_t>(n));
            else if (n == 0 || errno != EAGAIN)
                m_state->closed = true;
        }
    }
}

SessionPeer::~SessionPeer() {
    if (!m_state->closed)
        Exchange(Msg('X', ""));
    ::close(m_fd);
    m_state->thread.join();
    m_state->session.reset();
    // Every session's share of the bound on pending input has come back.
    TrapIf(!m_state->server->ChangePendingInput(0, kPendingBound));
    m_state->server->ChangePendingInput(kPendingBound, 0);
    duckdb_connection probe;
    TrapIf(duckdb_connect(m_state->engine, &probe) == DuckDBError);
    // No file stays attached and no transaction stays open: a new one can begin.
    TrapIf(
        ScalarText(probe, "SELECT count(*) FROM duckdb_databases() WHERE NOT internal AND database_name <> 'memory'") !=
        "0");
    // (a transaction left open that touched the table would make this a write conflict)
    ScalarText(probe, "DROP TABLE IF EXISTS t");
    ScalarText(probe, "CREATE TABLE t (a INTEGER)");
    duckdb_disconnect(&probe);
    m_state->server.reset();
    std::error_code ignored;
    std::filesystem::remove_all(m_state->dir, ignored);
    delete m_state;
}

}  // namespace kelvofuzz
