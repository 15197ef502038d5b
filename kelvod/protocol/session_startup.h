// A session's start-up: the start-up packet (after a refused SSL request, or a
// cancel request instead), its parameters and options, the databases its
// dbname names, and the parameter statuses a client expects. The protocol
// session runs it once, before its message loop.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "kelvod/protocol/protocol_reader.h"
#include "kelvod/protocol/session_context.h"
#include "kelvod/sql/database_commands.h"

namespace kelvod {

class SessionStartup {
public:
    SessionStartup(SessionContext& context, DatabaseCommands& commands) : m_context(context), m_commands(commands) {}

    // Reads the start-up packet and applies it: connects to the engine and
    // attaches the databases. False when the session ends here (a cancel
    // request, a client that left or took too long, or a refused start-up,
    // which the client has been told of).
    bool Accept(std::chrono::steady_clock::time_point deadline);
    // AuthenticationOk, the parameter statuses, BackendKeyData and the first ReadyForQuery.
    void Welcome(int32_t key);

private:
    void ApplyParameters(const StartupRequest& request);
    void ApplyOptions(const std::string& options);
    void ApplyDbname(const std::string& dbname);

    SessionContext& m_context;
    DatabaseCommands& m_commands;
};

}  // namespace kelvod
