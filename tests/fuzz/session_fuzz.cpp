// A kelvod session played by a hostile client: simple queries, the extended protocol and COPY in any order, with any
// names, parameters and formats. A model of the protocol's state machine walks the answers: each message has its own
// answer or an error, an error skips everything up to Sync (a Query too), Sync and Query each end in exactly one
// ReadyForQuery, COPY takes only its own messages, and every error carries a severity, a SQLSTATE and a message. At the
// end the session must still answer in step (ROLLBACK and SELECT 1 give their own answers) and, once gone, leave
// nothing behind.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "session_peer.h"

using namespace kelvofuzz;

namespace {

// The statements a client sends, one a line (the empty one among them).
const std::vector<std::string> kSql = Split(
    "SELECT 1\nSELECT $1::INTEGER + 1\nCREATE TABLE t (a INTEGER, b VARCHAR)\n"
    "INSERT INTO t VALUES (1, 'x'), (2, NULL)\nSELECT * FROM t\nBEGIN\nCOMMIT\nROLLBACK\nSELECT error('boom')\n\n"
    "SELECT 1; SELECT 2\nCOPY t FROM STDIN WITH (FORMAT KELVOBINARY)\nCOPY (SELECT 1) TO STDOUT\n"
    "SHOW search_path\nSET search_path = 'main'\nSELEC 1\nDROP TABLE t\nSELECT $1::BLOB\n"
    "CREATE DATABASE \"f.db\"\nATTACH DATABASE \"f.db\" AS \"f\"\nDETACH DATABASE \"f\"\n"
    "INSERT INTO t VALUES ($1::INTEGER, $2)\nSELECT * FROM range(3000)\nCREATE TEMPORARY TABLE tt (a INTEGER)",
    '\n');
const char* const kNames[] = {"", "a", "b"};
const char* const kParams[] = {"1", "abc", "\\x4142", "\xff", "", "99999999999999999999", "\\x4"};

enum class Kind { Query, Parse, Bind, Describe, Execute, Close, Sync, Flush, CopyData, CopyDone, CopyFail, Raw };

struct Request {
    Kind kind;
    std::string bytes;
    char describeKind = 0;
};

Request Next(Input& in) {
    const uint8_t op = in.Byte() % 13;
    switch (op) {
        case 0:
            return {Kind::Query, Msg('Q', CStr(in.Pick(kSql)))};
        case 1: {
            std::string body = CStr(in.Pick(kNames)) + CStr(in.Pick(kSql));
            const int types = in.Byte() % 3;
            body += Be16(types);
            for (int i = 0; i < types; ++i)
                body += Be32(in.Byte() % 2 ? 23 : 0);
            return {Kind::Parse, Msg('P', body)};
        }
        case 2: {
            std::string body = CStr(in.Pick(kNames)) + CStr(in.Pick(kNames));
            const uint8_t shape = in.Byte();
            body += (shape & 1) ? Be16(1) + Be16(shape & 2 ? 1 : 0) : Be16(0);
            const int params = (shape >> 2) % 3;
            body += Be16(params);
            for (int i = 0; i < params; ++i) {
                const uint8_t which = in.Byte();
                const std::string value = which % 9 == 7 ? in.Bytes(which % 5) : kParams[which % 7];
                body += which % 9 == 8 ? Be32(-1) : Be32(static_cast<int64_t>(value.size())) + value;
            }
            const int16_t formats[] = {0, 1, 2, 5};
            body += (shape & 0x10) ? Be16(1) + Be16(formats[(shape >> 5) & 3]) : Be16(0);
            return {Kind::Bind, Msg('B', body)};
        }
        case 3: {
            const char kind = in.Byte() % 2 ? 'S' : 'P';
            return {Kind::Describe, Msg('D', std::string(1, kind) + CStr(in.Pick(kNames))), kind};
        }
        case 4:
            return {Kind::Execute, Msg('E', CStr(in.Pick(kNames)) + Be32(in.Byte() % 4 == 0 ? 1 : 0))};
        case 5:
            return {Kind::Close, Msg('C', std::string(1, in.Byte() % 2 ? 'S' : 'P') + CStr(in.Pick(kNames)))};
        case 6:
            return {Kind::Sync, Msg('S', "")};
        case 7:
            return {Kind::Flush, Msg('H', "")};
        case 8: {
            const uint8_t n = in.Byte();
            std::string data = (n & 0x80) ? std::string("KLVCPY", 6) + std::string(13, '\0') : std::string();
            return {Kind::CopyData, Msg('d', data + in.Bytes(n % 24))};
        }
        case 9:
            return {Kind::CopyDone, Msg('c', "")};
        case 10:
            return {Kind::CopyFail, Msg('f', CStr("stop"))};
        case 11: {
            const char type = "PBDECQdfFpWx"[in.Byte() % 12];
            return {Kind::Raw, Msg(type, in.Bytes(in.Byte() % 16))};
        }
        default: {
            // A NUL inside the text makes the message malformed: the model cannot follow it.
            const std::string sql = in.Bytes(in.Byte() % 48);
            return {sql.find('\0') == std::string::npos ? Kind::Query : Kind::Raw, Msg('Q', CStr(sql))};
        }
    }
}

// The answers do not fit the model (down the road the model took).
struct Mismatch {};

// The answers in order, passing over what may come at any time (notices, parameter statuses, notifications) once their
// fields are checked.
class Answers {
public:
    explicit Answers(const std::vector<ServerMessage>& messages) : m_messages(&messages) {}
    // The next answer's type, 0 at the end; a FATAL error ends the model.
    char Peek() {
        while (m_at < m_messages->size() && std::string("NSA").find((*m_messages)[m_at].type) != std::string::npos) {
            TrapIf((*m_messages)[m_at].type == 'N' && ErrorField((*m_messages)[m_at].body, 'M').empty());
            ++m_at;
        }
        if (m_at == m_messages->size())
            return 0;
        const ServerMessage& m = (*m_messages)[m_at];
        if (m.type == 'E') {
            const std::string severity = ErrorField(m.body, 'S'), state = ErrorField(m.body, 'C');
            TrapIf((severity != "ERROR" && severity != "FATAL") || state.size() != 5 ||
                   state.find_first_not_of("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ") != std::string::npos ||
                   ErrorField(m.body, 'M').empty());
            m_fatal = m_fatal || severity == "FATAL";
        }
        return m.type;
    }
    const ServerMessage& Take() {
        if (Peek() == 0)
            throw Mismatch{};  // an answer was owed
        return (*m_messages)[m_at++];
    }
    // Takes the next answer, which must be one of `types`.
    char Expect(const char* types) {
        const char type = Take().type;
        if (std::string(types).find(type) == std::string::npos)
            throw Mismatch{};
        return type;
    }
    bool Fatal() const { return m_fatal; }
    bool AtEnd() { return Peek() == 0; }

private:
    const std::vector<ServerMessage>* m_messages;
    size_t m_at = 0;
    bool m_fatal = false;
};

enum class Mode { Normal, Skipping, CopyInQuery, CopyInExtended };

// Sync ends the batch: its commit may fail, then ReadyForQuery.
void AnswerSync(Answers& a) {
    if (a.Expect("EZ") == 'E')
        a.Expect("Z");
}

// Answers to a simple query up to its ReadyForQuery, or up to the start of a COPY FROM STDIN, which its own messages
// continue.
Mode AnswerQuery(Answers& a) {
    for (;;) {
        const char type = a.Expect("TDCIEHdcGZ");
        if (type == 'Z')
            return Mode::Normal;
        if (type == 'G')
            return Mode::CopyInQuery;
    }
}

// Answers to Execute: rows and a tag, a COPY, or an error.
Mode AnswerExecute(Answers& a) {
    for (;;) {
        const char type = a.Expect("DCIEHdcG");
        if (type == 'C' || type == 'I')
            return Mode::Normal;
        if (type == 'E')
            return Mode::Skipping;
        if (type == 'G')
            return Mode::CopyInExtended;
    }
}

// Where a run of messages that a COPY in progress takes in silence (data, Sync, Flush) ends.
size_t CopyRunEnd(const std::vector<Request>& requests, size_t from) {
    size_t end = from;
    while (end < requests.size() && (requests[end].kind == Kind::CopyData || requests[end].kind == Kind::Sync ||
                                     requests[end].kind == Kind::Flush))
        ++end;
    return end;
}

// The COPY failed on bad data at one of the run's messages: its error, and a ReadyForQuery for each Sync after that
// message, taken as outside a COPY.
void FailedInRun(const std::vector<Request>& requests, size_t from, size_t end, Answers& a, Mode& mode) {
    a.Expect("E");
    const bool query = mode == Mode::CopyInQuery;
    if (query)
        a.Expect("Z");
    // No request after the run begins its answer with ReadyForQuery.
    size_t syncs = 0;
    for (; a.Peek() == 'Z'; ++syncs)
        a.Take();
    bool placed = false;
    for (size_t k = from; k < end && !placed; ++k) {
        size_t after = 0;
        for (size_t j = k + 1; j < end; ++j)
            after += requests[j].kind == Kind::Sync;
        placed = requests[k].kind == Kind::CopyData && after == syncs;
    }
    if (!placed)
        throw Mismatch{};
    mode = query || syncs > 0 ? Mode::Normal : Mode::Skipping;
}

void Finish(const std::vector<ServerMessage>& answers, Answers& a, bool followed);

// Walks the model over the answers from request `i` on, to the end; throws
// Mismatch where they part. Where the answers allow two readings (a COPY's error after a run of its data: from the
// data, or from what follows), the walk goes on down both.
void Walk(const std::vector<ServerMessage>& answers, const std::vector<Request>& requests, size_t i, Answers a,
          Mode mode) {
    for (; i < requests.size(); ++i) {
        const Request& r = requests[i];
        if (r.kind == Kind::Raw || a.Fatal())
            return Finish(answers, a, false);
        if (mode == Mode::Skipping) {
            if (r.kind == Kind::Sync) {
                AnswerSync(a);
                mode = Mode::Normal;
            }
            continue;
        }
        if (mode == Mode::CopyInQuery || mode == Mode::CopyInExtended) {
            if (r.kind == Kind::CopyData || r.kind == Kind::Sync || r.kind == Kind::Flush) {
                const size_t end = CopyRunEnd(requests, i);
                if (a.Peek() == 'E' && !a.Fatal()) {
                    try {
                        Answers failed = a;
                        Mode after = mode;
                        FailedInRun(requests, i, end, failed, after);
                        return Walk(answers, requests, end, failed, after);
                    } catch (const Mismatch&) {
                    }
                }
                i = end - 1;
                continue;
            }
            // CopyDone ends the COPY; CopyFail and anything else fail it.
            const bool query = mode == Mode::CopyInQuery;
            const char type = a.Expect(r.kind == Kind::CopyDone ? "CE" : "E");
            if (query) {
                a.Expect("Z");
                mode = Mode::Normal;
            } else {
                mode = type == 'E' ? Mode::Skipping : Mode::Normal;
            }
            continue;
        }
        char type = 0;
        switch (r.kind) {
            case Kind::Query:
                mode = AnswerQuery(a);
                continue;
            case Kind::Sync:
                AnswerSync(a);
                continue;
            case Kind::Flush:
            case Kind::CopyData:
            case Kind::CopyDone:
            case Kind::CopyFail:
                continue;  // left over from a COPY that failed: passed over
            case Kind::Parse:
                type = a.Expect("1E");
                break;
            case Kind::Bind:
                type = a.Expect("2E");
                break;
            case Kind::Close:
                type = a.Expect("3E");
                break;
            case Kind::Describe:
                type = a.Expect(r.describeKind == 'S' ? "tE" : "TnE");
                if (type == 't')
                    type = a.Expect("Tn");
                break;
            case Kind::Execute:
                mode = AnswerExecute(a);
                continue;
            case Kind::Raw:
                return Finish(answers, a, false);
        }
        if (type == 'E')
            mode = Mode::Skipping;
    }
    Finish(answers, a, !a.Fatal());
}

// Once the model has followed every request, the answers end with the last query's own, outside any block; where it
// could not (a raw message, a FATAL error), a FATAL error is the session's last word.
void Finish(const std::vector<ServerMessage>& answers, Answers& a, bool followed) {
    if (!followed) {
        if (a.Fatal()) {
            a.Take();
            if (!a.AtEnd())
                throw Mismatch{};
        }
        return;
    }
    const size_t n = answers.size();
    if (!a.AtEnd() || n < 4 || answers[n - 1].type != 'Z' || answers[n - 1].body != "I" || answers[n - 2].type != 'C' ||
        answers[n - 3].type != 'D' || answers[n - 3].body != Be16(1) + Be32(1) + "1" || answers[n - 4].type != 'T')
        throw Mismatch{};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 512)
        return 0;
    Input in(data, size);
    std::vector<Request> requests;
    while (!in.Done() && requests.size() < 48)
        requests.push_back(Next(in));
    // Back in step whatever state the session was left in: a COPY is ended by the first ROLLBACK, skipping by the
    // second Sync, a block by a ROLLBACK.
    for (const char* sql : {"", "ROLLBACK", "", "ROLLBACK"})
        requests.push_back(*sql ? Request{Kind::Query, Msg('Q', CStr(sql))} : Request{Kind::Sync, Msg('S', "")});
    requests.push_back({Kind::Query, Msg('Q', CStr("SELECT 1"))});
    std::string bytes;
    for (const Request& r : requests)
        bytes += r.bytes;
    SessionPeer peer;
    const std::vector<ServerMessage> answers = peer.Exchange(bytes + Msg('X', ""));
    try {
        Walk(answers, requests, 0, Answers(answers), Mode::Normal);
    } catch (const Mismatch&) {
        __builtin_trap();
    }
    return 0;
}
