// One client connection, the protocol session: start-up, then one message
// after another, simple queries and the extended protocol, on its own engine
// connection. The protocol reader turns bytes into requests; the session runs
// them through its parts, which borrow its context: the statement runner, the
// loader and the database commands.
#pragma once

#include <chrono>
#include <cstdint>

#include "kelvod/loading/loader.h"
#include "kelvod/process/server_state.h"
#include "kelvod/protocol/extended_protocol.h"
#include "kelvod/protocol/prepared_statement.h"
#include "kelvod/protocol/session_context.h"
#include "kelvod/sql/database_commands.h"
#include "kelvod/sql/statement_runner.h"

namespace kelvod {

class Session {
public:
    // A client that has not completed its start-up within `startupTimeout` is let go.
    Session(ServerState& server, int fd, std::chrono::milliseconds startupTimeout = std::chrono::seconds(60));
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Serves the connection until the client leaves or the server stops.
    void Run();
    // From another thread: interrupt the running statement, if any.
    void Cancel() { m_context.Cancel(); }
    // From another thread: end the session (server shut-down); the client is told
    // with 57P01 unless the session is stuck sending, which Abort ends.
    void Stop() { m_context.Stop(); }
    void Abort();
    uint64_t BytesSent() const { return m_context.BytesSent(); }

private:
    void RunProtocol();
    bool Startup();
    void SayGoodbyeIfStopping();
    void Serve();
    void HandleRequest(const Request& request);
    void SimpleQuery(const std::string& sql);
    // A failed statement or extended-protocol message: tell the client, abort the block.
    void ReportFailure(const SqlError& error);
    // A fatal error: the client is told, and the session ends.
    void SendFatal(const std::string& sqlstate, const std::string& message);

    SessionContext m_context;
    const int32_t m_key;
    const std::chrono::milliseconds m_startupTimeout;
    DatabaseCommands m_commands{m_context};
    Loader m_loader{m_context, m_commands};
    PreparedStatements m_prepared;
    StatementRunner m_runner{m_context, m_commands, m_loader, m_prepared};
    ExtendedProtocol m_extended{m_context, m_runner, m_prepared};
    bool m_skipUntilSync = false;  // an extended-protocol message failed: the rest up to Sync is ignored
};

}  // namespace kelvod
