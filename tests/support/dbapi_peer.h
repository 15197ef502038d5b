// A database API connection to a ScriptedPeer, the exchanges every such session opens and closes with, and the check of
// a returned error.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "api/connection.h"
#include "kelvo/connection.h"
#include "support/error_ptr.h"
#include "support/scripted_peer.h"

namespace kelvotest {

// Start-up accepted: no authentication, a cancel key, ready.
inline ScriptedPeer::Script& NewSession(ScriptedPeer& peer) {
    return peer.AddConnection().ExpectMessage(0).Send(wire::AuthenticationOk() + wire::BackendKeyData(7, 99) +
                                                      wire::ReadyForQuery());
}

inline std::string Done(const std::string& tag) { return wire::CommandComplete(tag) + wire::ReadyForQuery(); }

// The DETACH that closing a live connection sends, and its answer.
inline ScriptedPeer::Script& ExpectDetach(ScriptedPeer::Script& script) {
    return script.ExpectMessage('Q').Send(Done("DETACH"));
}

// A connection to the started peer.
inline kelvo_connection_t* ConnectTo(const ScriptedPeer& peer, kelvo_create_mode_t mode = KELVO_DO_NOT_CREATE,
                                     const char* dbname = nullptr) {
    kelvoapi::Parameters parameters;
    parameters.Set("host", peer.SocketDirectory());
    parameters.Set("port", std::to_string(ScriptedPeer::kUnixPort));
    if (dbname)
        parameters.Set("dbname", dbname);
    return new kelvo_connection_t(std::make_shared<kelvoapi::Connection>(parameters, mode));
}

// The bodies of the messages of one type that a connection sent; query texts without their NUL.
inline std::vector<std::string> Sent(const ScriptedPeer& peer, size_t connection, char type = 'Q') {
    std::vector<std::string> bodies;
    for (const auto& m : peer.Messages(connection)) {
        if (m.type == type)
            bodies.push_back(type == 'Q' ? m.body.substr(0, m.body.find('\0')) : m.body);
    }
    return bodies;
}

inline std::string Fail(const char* sqlstate, const char* message) {
    return wire::ErrorResponse({{'S', "ERROR"}, {'C', sqlstate}, {'M', message}}) + wire::ReadyForQuery();
}

// Disconnects and stops the peer, whose scripts must have run to their end.
inline void Finish(ScriptedPeer& peer, kelvo_connection_t* conn) {
    kelvo_disconnect(conn);
    peer.Stop();
    EXPECT_TRUE(peer.Errors().empty());
}

// An empty message or a context id of 0 is not checked.
inline void ExpectError(const ErrorPtr& error, const std::string& sqlstate, const std::string& message = "",
                        uint32_t contextId = 0) {
    ASSERT_NE(error, nullptr) << "expected " << sqlstate;
    EXPECT_EQ(AsError(error).GetSqlstate(), sqlstate) << AsError(error).GetMessage();
    if (!message.empty()) {
        EXPECT_EQ(AsError(error).GetMessage(), message);
    }
    if (contextId != 0) {
        EXPECT_EQ(AsError(error).GetContextId().value, contextId);
    }
}

}  // namespace kelvotest
