// What the database API tests share: a statement refused by the scripted peer,
// the clean end of a session with it, and the check of a returned error.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "kelvo/connection.h"
#include "support/dbapi_peer.h"
#include "support/error_ptr.h"
#include "support/scripted_peer.h"

namespace kelvotest {

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
