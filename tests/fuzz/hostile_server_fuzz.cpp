// The library against a hostile but well-framed server, through the public
// calls: a scripted peer answers the start-up (authentication requests,
// cleartext and MD5 passwords, NegotiateProtocolVersion, parameter statuses,
// a cancel key) and one statement. The first byte picks the road (rows read
// chunk by chunk, catalog names, a command's count), chunked mode and
// prefetching; the second whether the answers keep to the protocol.
//
// Correct answers must come back exactly: every field of every row, NULLs
// too, in order across the chunks, with and without prefetching. Wrong ones
// may succeed or fail, but every call returns within a bound (a watchdog
// traps a call that spins or waits for ever), and once the peer has gone
// the next statement fails instead of answering from what came before.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "api/connection.h"
#include "api/handles.h"
#include "error/error.h"
#include "kelvo/connection.h"
#include "kelvo/error.h"
#include "kelvo/rowset.h"
#include "kelvo/string_list.h"
#include "support/scripted_peer.h"

namespace wire = kelvotest::wire;

namespace {

// Seconds a whole input may take: far beyond any sound answer.
constexpr int kHangSeconds = 30;
// CopyBothResponse makes the catalog calls' result loop spin today; it is
// sent once that loop ends on it with an error.
constexpr bool kSendCopyBoth = false;

class Watchdog {
public:
    Watchdog()
        : m_thread([this] {
              std::unique_lock<std::mutex> lock(m_mutex);
              if (!m_done.wait_for(lock, std::chrono::seconds(kHangSeconds), [this] { return m_finished; }))
                  __builtin_trap();  // a call neither answered nor failed
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_finished = true;
        }
        m_done.notify_one();
        m_thread.join();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_finished = false;
    std::thread m_thread;
};

class Input {
public:
    Input(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool Done() const { return m_at >= m_size; }
    uint8_t Byte() { return m_at < m_size ? m_data[m_at++] : 0; }
    std::string Bytes(size_t n) {
        n = std::min(n, m_size - std::min(m_at, m_size));
        std::string s(reinterpret_cast<const char*>(m_data) + m_at, n);
        m_at += n;
        return s;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_at = 0;
};

size_t BodyLength(const std::string& message, size_t at) {
    size_t n = 0;
    for (size_t i = 1; i < 5; ++i)
        n = n << 8 | static_cast<uint8_t>(message[at + i]);
    return n - 4;
}

// Fuzzer bytes as a string field: no NUL inside.
std::string Text(Input& in, size_t n) {
    std::string s = in.Bytes(n);
    for (char& c : s)
        c = c == '\0' ? '0' : c;
    return s;
}

// A start-up that keeps to the protocol, message by message: maybe a
// password request, then the welcome with parameter statuses and a key.
std::vector<std::string> GoodStartup(Input& in) {
    const uint8_t shape = in.Byte();
    std::vector<std::string> out;
    if (shape % 3 == 1)
        out.push_back(wire::Authentication(3));
    else if (shape % 3 == 2)
        out.push_back(wire::Authentication(5, (in.Bytes(4) + "salt").substr(0, 4)));
    out.push_back(wire::AuthenticationOk());
    static const char* const kNames[] = {"application_name", "server_version", "TimeZone", "is_superuser", "x"};
    for (int i = (shape >> 3) % 4; i > 0; --i)
        out.push_back(wire::ParameterStatus(kNames[in.Byte() % 5], Text(in, in.Byte() % 8)));
    if (shape & 0x20)
        out.push_back(wire::NoticeResponse({{'S', "NOTICE"}, {'C', "00000"}, {'M', Text(in, in.Byte() % 16)}}));
    out.push_back(wire::BackendKeyData(7, 99));
    out.push_back(wire::ReadyForQuery());
    return out;
}

// Framed messages of types a server sends (and some it never does), with
// bodies that keep to their type or are the fuzzer's own.
std::string WrongMessages(Input& in) {
    static const char kTypes[] = "RSKZTDCIEN123ntsAvGHWdcVxp";
    std::string out;
    for (int n = 0; n < 12 && !in.Done(); ++n) {
        const char type = kTypes[in.Byte() % (sizeof kTypes - 1)];
        if (type == 'W' && !kSendCopyBoth)
            continue;
        const uint8_t shape = in.Byte();
        std::string body;
        switch (shape % 4) {
            case 0:
                body = in.Bytes(shape >> 3);
                break;
            case 1:  // a count and that many short words, as COPY and rows have
                body = std::string(1, '\0') + wire::Int16(shape >> 6) + in.Bytes((shape >> 2) % 8);
                break;
            case 2:
                body = wire::Int16(1) + wire::Int32(static_cast<int64_t>(in.Byte() % 6) - 1) + in.Bytes(4);
                break;
            default:
                body = wire::Int32(in.Byte()) + in.Bytes(shape >> 4);
                break;
        }
        out += wire::Message(type, body);
    }
    return out;
}

struct Table {
    std::vector<std::vector<std::optional<std::string>>> rows;
    size_t columns = 0;
};

Table MakeTable(Input& in) {
    Table t;
    t.columns = 1 + in.Byte() % 4;
    const size_t rows = in.Byte() * 3;  // past a chunk of 256 rows now and then
    for (size_t r = 0; r < rows; ++r) {
        std::vector<std::optional<std::string>> row;
        for (size_t c = 0; c < t.columns; ++c) {
            const uint8_t shape = in.Byte();
            if (shape == 0xff)
                row.push_back(std::nullopt);
            else
                row.push_back(in.Bytes(shape % 12));
        }
        t.rows.push_back(std::move(row));
    }
    return t;
}

std::string Answer(const Table& t) {
    std::vector<wire::Column> columns;
    for (size_t c = 0; c < t.columns; ++c)
        columns.push_back({"c" + std::to_string(c), 25, -1, 0});
    std::string out = wire::RowDescription(columns);
    for (const auto& row : t.rows)
        out += wire::DataRow(row);
    return out + wire::CommandComplete("SELECT " + std::to_string(t.rows.size())) + wire::ReadyForQuery();
}

// Reads the whole rowset; with `expected`, every value must be the one sent.
bool ReadAll(kelvo_rowset_t* rowset, const Table* expected) {
    size_t row = 0;
    for (;;) {
        kelvo_rowset_chunk_t* chunk = nullptr;
        kelvo_error_t* error = kelvo_rowset_get_next_chunk(rowset, &chunk);
        if (error != nullptr) {
            kelvo_error_destroy(error);
            return false;
        }
        if (chunk == nullptr)
            break;
        const size_t rows = kelvo_rowset_chunk_row_count(chunk);
        if (rows == 0)
            __builtin_trap();
        for (size_t r = 0; expected != nullptr && r < rows; ++r, ++row) {
            if (row >= expected->rows.size())
                __builtin_trap();
            for (size_t c = 0; c < expected->columns; ++c) {
                const auto& want = expected->rows[row][c];
                const auto i = static_cast<kelvo_row_index_t>(r);
                const auto f = static_cast<kelvo_field_index_t>(c);
                const kelvo_value_t got = kelvo_rowset_chunk_field_value(chunk, i, f);
                if (kelvo_rowset_chunk_field_is_null(chunk, i, f) != !want.has_value() ||
                    (want && std::string(reinterpret_cast<const char*>(got.value), got.size) != *want))
                    __builtin_trap();
            }
        }
        kelvo_destroy_rowset_chunk(chunk);
    }
    if (expected != nullptr && row != expected->rows.size())
        __builtin_trap();
    return true;
}

// Runs the road the flags pick; true when it succeeded.
bool RunRoad(kelvo_connection_t* connection, uint8_t road, const Table* expected) {
    kelvo_error_t* error = nullptr;
    switch (road) {
        case 0: {
            kelvo_rowset_t* rowset = nullptr;
            error = kelvo_execute_query(connection, "SELECT", &rowset);
            if (error == nullptr) {
                const bool read = ReadAll(rowset, expected);
                kelvo_close_rowset(rowset);
                return read;
            }
            break;
        }
        case 1: {
            kelvo_string_list_t* names = nullptr;
            error = kelvo_get_table_names(connection, nullptr, "public", &names);
            kelvo_string_list_destroy(names);
            break;
        }
        default: {
            int count = 0;
            error = kelvo_execute_command(connection, "UPDATE", &count);
            break;
        }
    }
    if (error == nullptr)
        return true;
    kelvo_error_destroy(error);
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > 4096)
        return 0;
    Input in(data + 2, size - 2);
    const uint8_t flags = data[0], kind = data[1];
    const bool goodStartup = (kind & 1) == 0, goodAnswer = (kind & 2) == 0;
    const uint8_t road = goodAnswer ? 0 : (flags >> 2) % 3;
    kelvotest::ScriptedPeer peer;
    // A wrong start-up goes wrong after some messages of a good one.
    const std::vector<std::string> good = GoodStartup(in);
    const size_t keep = goodStartup ? good.size() : in.Byte() % good.size();
    std::string startup;
    for (size_t i = 0; i < keep; ++i)
        startup += good[i];
    if (!goodStartup)
        startup += WrongMessages(in);
    std::optional<Table> table;
    std::string answer;
    if (goodAnswer) {
        table = MakeTable(in);
        answer = Answer(*table);
    } else {
        answer = WrongMessages(in);
    }
    if (std::getenv("KELVO_FUZZ_TRACE") != nullptr)
        for (size_t at = 0; at + 5 <= answer.size(); at += 1 + BodyLength(answer, at) + 4)
            std::fprintf(stderr, "answer: %c %zu\n", answer[at], BodyLength(answer, at));
    auto& script = peer.AddConnection().ExpectMessage(0).Send(startup);
    if (goodStartup)
        script.ExpectMessage('Q').Send(answer);
    if (goodStartup && goodAnswer)  // the DETACH of a clean close
        script.ExpectMessage('Q').Send(wire::CommandComplete("DETACH") + wire::ReadyForQuery());
    script.Close();
    // Closing a rowset early sends cancel requests: each is taken and closed.
    for (int i = 0; i < 3; ++i)
        peer.AddConnection().ExpectBytes(16).Close();
    peer.Start();

    Watchdog watchdog;
    kelvoapi::Parameters parameters;
    parameters.Set("host", peer.SocketDirectory());
    parameters.Set("port", std::to_string(kelvotest::ScriptedPeer::kUnixPort));
    parameters.Set("user", "u");
    parameters.Set("password", "pw");
    parameters.Set("connect_timeout", "7");
    std::unique_ptr<kelvo_connection_t> connection;
    try {
        connection.reset(
            new kelvo_connection_t(std::make_shared<kelvoapi::Connection>(parameters, KELVO_DO_NOT_CREATE)));
    } catch (const kelvoapi::Error& e) {
        if (goodStartup) {
            std::fprintf(stderr, "refused: %s\n", e.GetMessage().c_str());
            __builtin_trap();
        }  // a start-up that keeps to the protocol is accepted
        peer.Stop();
        return 0;
    }
    kelvo_set_chunked_mode(connection.get(), (flags & 1) == 0);
    kelvo_set_prefetch_threshold(connection.get(), (flags & 2) ? 0 : 1 + (flags >> 4) * 64);
    const bool ok = RunRoad(connection.get(), road, table ? &*table : nullptr);
    if (goodAnswer && !ok)
        __builtin_trap();
    if (!goodAnswer || !goodStartup) {
        // The peer has hung up: nothing may answer from what came before.
        peer.Stop();
        if (RunRoad(connection.get(), 0, nullptr))
            __builtin_trap();
    }
    kelvo_disconnect(connection.release());
    peer.Stop();
    return 0;
}
