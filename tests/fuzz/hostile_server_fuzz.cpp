// The library against a hostile but well-framed server, through the public calls: a scripted peer answers the start-up
// (authentication requests, cleartext and MD5 passwords, NegotiateProtocolVersion, parameter statuses, a cancel key)
// and one statement. The first byte picks the road (rows read chunk by chunk, catalog names, a command's count, COPY TO
// STDOUT data), chunked mode and prefetching; the second whether the answers keep to the protocol.
//
// Correct answers must come back exactly: every field of every row, NULLs too, in order across the chunks, with and
// without prefetching; every name, the count, the COPY data. Wrong ones may succeed or fail, but every call returns
// within a bound (a watchdog traps a call that spins or waits for ever), and once the peer has gone the next statement
// fails instead of answering from what came before.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <future>
#include <memory>
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

// Traps a call that neither answers nor fails while it lives.
class Watchdog {
public:
    ~Watchdog() {
        m_finished.set_value();
        m_thread.join();
    }

private:
    std::promise<void> m_finished;
    std::thread m_thread{[done = m_finished.get_future()] {
        TrapIf(done.wait_for(std::chrono::seconds(kelvofuzz::kHangSeconds)) == std::future_status::timeout);
    }};
};

// Fuzzer bytes as a string field: no NUL inside.
std::string Text(Input& in, size_t n) {
    std::string s = in.Bytes(n);
    for (char& c : s)
        c = c == '\0' ? '0' : c;
    return s;
}

// A start-up that keeps to the protocol, message by message: maybe a password request, then the welcome with parameter
// statuses and a key.
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

// Framed messages of types a server sends (and some it never does), with bodies that keep to their type or are the
// fuzzer's own.
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

using Rows = std::vector<std::vector<std::optional<std::string>>>;

// A sound answer for each road and what the call must give back from it.
struct Expected {
    Rows rows;                       // rows read chunk by chunk
    std::vector<std::string> names;  // catalog names
    int count = 0;                   // a command's count
    std::string copy;                // COPY TO STDOUT data
};

std::string GoodAnswer(uint8_t road, Input& in, Expected& e) {
    std::string out;
    switch (road) {
        case 0: {
            std::vector<wire::Column> columns;
            for (int c = 1 + in.Byte() % 4; c > 0; --c)
                columns.push_back({"c" + std::to_string(c), 25, -1, 0});
            e.rows.resize(in.Byte() * 3);  // past a chunk of 256 rows now and then
            for (auto& row : e.rows) {
                for (size_t c = 0; c < columns.size(); ++c) {
                    const uint8_t shape = in.Byte();
                    row.push_back(shape == 0xff ? std::nullopt : std::optional<std::string>(in.Bytes(shape % 12)));
                }
                out += wire::DataRow(row);
            }
            out =
                wire::RowDescription(columns) + out + wire::CommandComplete("SELECT " + std::to_string(e.rows.size()));
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

// Whether a call failed (its error released).
bool Failed(kelvo_error_t* error) {
    const bool failed = error != nullptr;
    kelvo_error_destroy(error);
    return failed;
}

// Reads the whole rowset; with `expected`, every value must be the one sent.
bool ReadAll(kelvo_rowset_t* rowset, const Rows* expected) {
    size_t row = 0;
    for (kelvo_rowset_chunk_t* chunk = nullptr;; kelvo_destroy_rowset_chunk(chunk)) {
        if (Failed(kelvo_rowset_get_next_chunk(rowset, &chunk)))
            return false;
        if (chunk == nullptr)
            break;
        const size_t rows = kelvo_rowset_chunk_row_count(chunk);
        TrapIf(rows == 0);
        for (size_t r = 0; expected != nullptr && r < rows; ++r, ++row) {
            TrapIf(row >= expected->size());
            for (size_t c = 0; c < (*expected)[row].size(); ++c) {
                const auto& want = (*expected)[row][c];
                const auto i = static_cast<kelvo_row_index_t>(r);
                const auto f = static_cast<kelvo_field_index_t>(c);
                const kelvo_value_t got = kelvo_rowset_chunk_field_value(chunk, i, f);
                TrapIf(kelvo_rowset_chunk_field_is_null(chunk, i, f) != !want.has_value() ||
                       (want && std::string(reinterpret_cast<const char*>(got.value), got.size) != *want));
            }
        }
    }
    TrapIf(expected != nullptr && row != expected->size());
    return true;
}

// Reads COPY data to its end; false on an error.
bool ReadCopy(kelvo_rowset_t* rowset, std::string& data) {
    for (;;) {
        char* buffer = nullptr;
        size_t length = 0;
        if (Failed(kelvo_rowset_get_copy_data(rowset, &buffer, &length)))
            return false;
        if (buffer == nullptr)
            return true;
        data.append(buffer, length);
        kelvo_rowset_free_copy_data(buffer);
    }
}

// Runs the road; true when it succeeded. With `expected`, what it gave back
// must be what the sound answer held.
bool RunRoad(kelvo_connection_t* connection, uint8_t road, const Expected* expected) {
    if (road == 0 || road == 3) {
        kelvo_rowset_t* rowset = nullptr;
        if (Failed(kelvo_execute_query(connection, road == 0 ? "SELECT" : "COPY", &rowset)))
            return false;
        std::string data;
        const bool read = road == 0 ? ReadAll(rowset, expected ? &expected->rows : nullptr) : ReadCopy(rowset, data);
        TrapIf(road == 3 && expected != nullptr && read && data != expected->copy);
        kelvo_close_rowset(rowset);
        return read;
    }
    if (road == 1) {
        kelvo_string_list_t* names = nullptr;
        const bool failed = Failed(kelvo_get_table_names(connection, nullptr, "public", &names));
        if (!failed && expected != nullptr) {
            TrapIf(kelvo_string_list_size(names) != expected->names.size());
            for (size_t i = 0; i < expected->names.size(); ++i)
                TrapIf(kelvo_string_list_at(names, static_cast<int>(i)) != expected->names[i]);
        }
        kelvo_string_list_destroy(names);
        return !failed;
    }
    int count = -2;
    const bool failed = Failed(kelvo_execute_command(connection, "UPDATE", &count));
    TrapIf(!failed && expected != nullptr && count != expected->count);
    return !failed;
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
    TrapIf(sound && !ok);
    if (!sound) {
        // The peer has hung up: nothing may answer from what came before.
        peer.Stop();
        TrapIf(RunRoad(connection.get(), 0, nullptr));
    }
    kelvo_disconnect(connection.release());
    peer.Stop();
    return 0;
}
