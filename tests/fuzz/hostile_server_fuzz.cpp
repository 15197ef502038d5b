// The library against a hostile but well-framed server, through the public
// calls: a scripted peer answers the start-up (authentication requests,
// cleartext and MD5 passwords, NegotiateProtocolVersion, parameter statuses,
// a cancel key) and one statement. The first byte picks the road (rows read
// chunk by chunk, catalog names, a command's count, COPY TO STDOUT data),
// chunked mode and prefetching; the second whether the answers keep to the
// protocol.
//
// Correct answers must come back exactly: every field of every row, NULLs
// too, in order across the chunks, with and without prefetching; every name,
// the count, the COPY data. Wrong ones
// may succeed or fail, but every call returns within a bound (a watchdog
// traps a call that spins or waits for ever), and once the peer has gone
// the next statement fails instead of answering from what came before.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "api/connection.h"
#include "api/handles.h"
#include "error/error.h"
#include "fuzz_input.h"
#include "kelvo/connection.h"
#include "kelvo/error.h"
#include "kelvo/rowset.h"
#include "kelvo/string_list.h"
#include "support/scripted_peer.h"

namespace wire = kelvotest::wire;
using kelvofuzz::Input;

namespace {

// Seconds a whole input may take: far beyond any sound answer.
constexpr int kHangSeconds = 30;

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

// A sound answer for each road and what the call must give back from it.
struct Expected {
    Table table;                     // rows read chunk by chunk
    std::vector<std::string> names;  // catalog names
    int count = 0;                   // a command's count
    std::string copy;                // COPY TO STDOUT data
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

std::string GoodAnswer(uint8_t road, Input& in, Expected& e) {
    std::string out;
    switch (road) {
        case 0: {
            e.table = MakeTable(in);
            std::vector<wire::Column> columns;
            for (size_t c = 0; c < e.table.columns; ++c)
                columns.push_back({"c" + std::to_string(c), 25, -1, 0});
            out = wire::RowDescription(columns);
            for (const auto& row : e.table.rows)
                out += wire::DataRow(row);
            out += wire::CommandComplete("SELECT " + std::to_string(e.table.rows.size()));
            break;
        }
        case 1:
            out = wire::RowDescription({{"tablename", 25, -1, 0}});
            for (int n = in.Byte() % 8; n > 0; --n) {
                e.names.push_back(Text(in, in.Byte() % 10));
                out += wire::DataRow({e.names.back()});
            }
            out += wire::CommandComplete("SELECT " + std::to_string(e.names.size()));
            break;
        case 2: {
            for (int i = 0; i < 4; ++i)
                e.count = (e.count << 8) | in.Byte();
            e.count &= 0x7fffffff;
            const char* const kTags[] = {"UPDATE ", "DELETE ", "INSERT 0 ", "COPY "};
            out = wire::CommandComplete(kTags[e.count % 4] + std::to_string(e.count));
            break;
        }
        default:
            out = wire::CopyOutResponse(0, {0});
            for (int n = in.Byte() % 6; n > 0; --n) {
                const std::string piece = in.Bytes(in.Byte() % 40);
                e.copy += piece;
                out += wire::CopyData(piece);
            }
            out += wire::CopyDone() + wire::CommandComplete("COPY 1");
            break;
    }
    return out + wire::ReadyForQuery();
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

// Reads COPY data to its end; false on an error.
bool ReadCopy(kelvo_rowset_t* rowset, std::string& data) {
    for (;;) {
        char* buffer = nullptr;
        size_t length = 0;
        kelvo_error_t* error = kelvo_rowset_get_copy_data(rowset, &buffer, &length);
        if (error != nullptr) {
            kelvo_error_destroy(error);
            return false;
        }
        if (buffer == nullptr)
            return true;
        data.append(buffer, length);
        kelvo_rowset_free_copy_data(buffer);
    }
}

// Runs the road; true when it succeeded. With `expected`, what it gave back
// must be what the sound answer held.
bool RunRoad(kelvo_connection_t* connection, uint8_t road, const Expected* expected) {
    kelvo_error_t* error = nullptr;
    switch (road) {
        case 0:
        case 3: {
            kelvo_rowset_t* rowset = nullptr;
            error = kelvo_execute_query(connection, road == 0 ? "SELECT" : "COPY", &rowset);
            if (error != nullptr)
                break;
            bool read = false;
            if (road == 0) {
                read = ReadAll(rowset, expected ? &expected->table : nullptr);
            } else {
                std::string data;
                read = ReadCopy(rowset, data);
                if (expected != nullptr && read && data != expected->copy)
                    __builtin_trap();
            }
            kelvo_close_rowset(rowset);
            return read;
        }
        case 1: {
            kelvo_string_list_t* names = nullptr;
            error = kelvo_get_table_names(connection, nullptr, "public", &names);
            if (error == nullptr && expected != nullptr) {
                if (kelvo_string_list_size(names) != expected->names.size())
                    __builtin_trap();
                for (size_t i = 0; i < expected->names.size(); ++i)
                    if (kelvo_string_list_at(names, static_cast<int>(i)) != expected->names[i])
                        __builtin_trap();
            }
            kelvo_string_list_destroy(names);
            break;
        }
        default: {
            int count = -2;
            error = kelvo_execute_command(connection, "UPDATE", &count);
            if (error == nullptr && expected != nullptr && count != expected->count)
                __builtin_trap();
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
    const uint8_t road = (flags >> 2) % 4;
    kelvotest::ScriptedPeer peer;
    // A wrong start-up goes wrong after some messages of a good one.
    const std::vector<std::string> good = GoodStartup(in);
    const size_t keep = goodStartup ? good.size() : in.Byte() % good.size();
    std::string startup;
    for (size_t i = 0; i < keep; ++i)
        startup += good[i];
    if (!goodStartup)
        startup += WrongMessages(in);
    Expected expected;
    const std::string answer = goodAnswer ? GoodAnswer(road, in, expected) : WrongMessages(in);
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
        if (goodStartup) {  // a start-up that keeps to the protocol is accepted
            std::fprintf(stderr, "refused: %s\n", e.GetMessage().c_str());
            __builtin_trap();
        }
        peer.Stop();
        return 0;
    }
    kelvo_set_chunked_mode(connection.get(), (flags & 1) == 0);
    kelvo_set_prefetch_threshold(connection.get(), (flags & 2) ? 0 : 1 + (flags >> 4) * 64);
    // (after a wrong start-up that was accepted, no answer comes at all)
    const bool sound = goodStartup && goodAnswer;
    const bool ok = RunRoad(connection.get(), road, sound ? &expected : nullptr);
    if (sound && !ok)
        __builtin_trap();
    if (!sound) {
        // The peer has hung up: nothing may answer from what came before.
        peer.Stop();
        if (RunRoad(connection.get(), 0, nullptr))
            __builtin_trap();
    }
    kelvo_disconnect(connection.release());
    peer.Stop();
    return 0;
}
