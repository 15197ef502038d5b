// The protocol session: its life (run, cancel, stop), the message loop and the
// simple protocol, and what a failed statement leaves behind.
#include "kelvod/protocol/session.h"

#include <sys/socket.h>
#include <unistd.h>

#include <random>

#include "kelvod/protocol/session_startup.h"

namespace kelvod {

namespace {

constexpr size_t kFlushThreshold = 256 * 1024;

// What the client is told when a statement fails.
ErrorFields FieldsOf(const SqlError& e) {
    ErrorFields f;
    f.sqlstate = e.sqlstate;
    f.message = e.what();
    f.hint = e.hint;
    return f;
}

int32_t RandomKey() {
    std::random_device rd;
    return static_cast<int32_t>(rd());
}

}  // namespace

Session::Session(ServerState& server, int fd, std::chrono::milliseconds startupTimeout)
    : m_context(server, fd, server.NextSessionId()), m_key(RandomKey()), m_startupTimeout(startupTimeout) {}

Session::~Session() {
    ServerState& server = m_context.Server();
    server.Unregister(m_context.Pid());
    server.Streams().RemoveOwnedBy(m_context.Pid());
    if (m_context.Connection()) {
        // An open transaction would keep the files from being detached.
        const bool ended = EndStrayTransaction(m_context.Connection());
        try {
            m_commands.DetachAll();
        } catch (...) {
            // the session ends either way; a failed detach leaves the alias to the engine
        }
        try {
            RunEngine(m_context.Connection(), "USE memory");
            RunEngine(m_context.Connection(),
                      "DETACH DATABASE IF EXISTS " + QuoteIdentifier(m_context.PrivateDatabase()));
        } catch (...) {
        }
        // The engine rolls back again inside its disconnect, where a failure
        // could not be caught but would end the server: a connection whose
        // transaction it could not roll back is left to the engine instead.
        if (!ended)
            m_context.LeaveConnectionToEngine();
    }
    if (m_context.Fd() >= 0)
        ::close(m_context.Fd());
}

void Session::Run() {
    RunProtocol();
    m_context.ReleasePendingInput();
    // The client learns at once that the session ended; the descriptor itself
    // is closed with the session, after its thread has been joined.
    ::shutdown(m_context.Fd(), SHUT_RDWR);
}

void Session::RunProtocol() {
    try {
        if (Startup())
            Serve();
        SayGoodbyeIfStopping();
        m_context.Flush();
    } catch (const ConnectionLost&) {
        SayGoodbyeIfStopping();
    } catch (const ProtocolError& e) {
        SendFatal(e.sqlstate, e.what());
    } catch (const std::exception& e) {
        SendFatal("XX000", e.what());
    }
}

bool Session::Startup() {
    // A client that connects and never completes its start-up must not keep a thread forever.
    SessionStartup startup(m_context, m_commands);
    if (!startup.Accept(std::chrono::steady_clock::now() + m_startupTimeout))
        return false;
    m_context.Server().Register(m_context.Pid(), m_key, this);
    startup.Welcome(m_key);
    return true;
}

void Session::SendFatal(const std::string& sqlstate, const std::string& message) {
    try {
        ErrorFields f;
        f.severity = "FATAL";
        f.sqlstate = sqlstate;
        f.message = message;
        m_context.SendError(f);
        m_context.Flush();
    } catch (...) {
        // the client is gone already
    }
}

void Session::Abort() { ::shutdown(m_context.Fd(), SHUT_RDWR); }

void Session::SayGoodbyeIfStopping() {
    if (m_context.Stopping())
        SendFatal("57P01", "terminating connection due to administrator command");
}

void Session::Serve() {
    for (;;) {
        auto request = m_context.Reader().TakeRequest();
        if (!request) {
            m_context.Flush();
            if (!m_context.ReadMore())
                return;
            continue;
        }
        if (std::holds_alternative<TerminateMessage>(*request))
            return;
        HandleRequest(*request);
        if (m_context.Writer().Buffer().size() > kFlushThreshold)
            m_context.Flush();
    }
}

void Session::HandleRequest(const Request& request) {
    if (auto* q = std::get_if<QueryMessage>(&request)) {
        // After a failed extended-protocol message everything up to Sync is
        // ignored, a simple query too: it must not run in the failed batch's place.
        if (m_skipUntilSync)
            return;
        SimpleQuery(q->sql);
        m_context.Writer().ReadyForQuery(m_context.Transaction());
        m_context.Flush();
        return;
    }
    if (std::holds_alternative<SyncMessage>(request)) {
        m_skipUntilSync = false;
        try {
            m_runner.EndBatch();
        } catch (const SqlError& e) {
            ReportFailure(e);
        }
        m_extended.Sync();
        return;
    }
    if (std::holds_alternative<FlushMessage>(request))
        return m_context.Flush();
    // Left over from a COPY FROM STDIN that failed while the client was still sending.
    if (std::holds_alternative<CopyMessage>(request))
        return;
    if (m_skipUntilSync)
        return;
    try {
        m_extended.Handle(request);
    } catch (const SqlError& e) {
        ReportFailure(e);
        m_skipUntilSync = true;
    }
}

void Session::ReportFailure(const SqlError& error) {
    m_context.SendError(FieldsOf(error));
    try {
        // A batch's implicit block ends with its failed statement: none of it stays.
        m_runner.AbandonBatch();
    } catch (const SqlError& e) {
        m_context.SendError(FieldsOf(e));
    }
    // Any failed statement or message inside a block aborts it; outside one,
    // no engine transaction may outlive the failure.
    if (m_context.Transaction() == TransactionStatus::Idle) {
        EndStrayTransaction(m_context.Connection());
    } else {
        m_context.FailBlock();
    }
    m_commands.RecoverInvalidated(error);
}

void Session::SimpleQuery(const std::string& sql) {
    try {
        auto statements = SplitStatements(sql);
        size_t count = 0;
        for (const auto& s : statements)
            count += s.IsEmpty() ? 0 : 1;
        // A single statement commits on its own, as the engine does outside a block.
        if (count > 1)
            m_runner.BeginBatch();
        for (const auto& s : statements) {
            if (s.IsEmpty())
                continue;
            m_runner.RunSimple(s);
            if (m_context.Writer().Buffer().size() > kFlushThreshold)
                m_context.Flush();
        }
        m_runner.EndBatch();
        if (count == 0)
            m_context.Writer().EmptyQueryResponse();
    } catch (const SqlError& e) {
        ReportFailure(e);
    }
}

}  // namespace kelvod
