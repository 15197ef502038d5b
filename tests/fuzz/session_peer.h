// A kelvod session served in-process on one end of a socket pair, on an engine of its own in memory, for the fuzz
// targets that play a client to it. The bytes go both ways at once, so that neither side blocks on a full socket, and a
// session that neither answers nor ends within its deadline is a hang.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_input.h"

namespace kelvofuzz {

// One message the server sent.
struct ServerMessage {
    char type;
    std::string body;
};

// The fields of an ErrorResponse or NoticeResponse by code; traps when the body is not a sequence of NUL-terminated
// fields.
std::string ErrorField(const std::string& body, char code);

class SessionPeer {
public:
    // Opens the engine, starts the session and completes its start-up.
    SessionPeer();
    // Ends the session (if the client has not), joins it and checks that it left nothing behind: no pending input
    // counted against the server, no database attached, no transaction open.
    ~SessionPeer();
    SessionPeer(const SessionPeer&) = delete;
    SessionPeer& operator=(const SessionPeer&) = delete;

    // Sends `bytes` and reads until the server has closed the connection, or
    // until `until` arrives as a message type; traps when the deadline passes.
    // Framing is checked: every message has a sane length and a known type.
    std::vector<ServerMessage> Exchange(const std::string& bytes, char until = 0);

private:
    int m_fd = -1;
    struct State;
    State* m_state;
};

}  // namespace kelvofuzz
