// The library's system calls (linked with --wrap, on every thread) failing one at a time: every run ends with an error
// or the right answer within seconds, the connection in step or bad, a load whole or failed.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kelvo/kelvo.h"
#include "support/error_ptr.h"
#include "support/library_instance.h"
#include "support/test_watchdog.h"

namespace {

enum Call : unsigned { kSend = 1, kRecv = 2, kPoll = 4, kConnect = 8, kFork = 16, kPipe = 32, kRead = 64 };

std::atomic<unsigned> gCounted{0};  // the calls counted; none while disarmed
std::atomic<long> gCalls{0};
std::atomic<long> gFailAt{0};  // the number of the call that fails, from 1

bool Fails(Call call, int error) {
    if ((gCounted.load() & call) == 0 || gCalls.fetch_add(1) + 1 != gFailAt.load())
        return false;
    errno = error;
    return true;
}

}  // namespace

#define KELVO_FAILING(type, name, call, error, parameters, arguments) \
    extern "C" type __real_##name parameters;                         \
    extern "C" type __wrap_##name parameters { return Fails(call, error) ? -1 : __real_##name arguments; }
KELVO_FAILING(ssize_t, send, kSend, ENOBUFS, (int f, const void* b, size_t n, int o), (f, b, n, o))
KELVO_FAILING(ssize_t, recv, kRecv, EIO, (int f, void* b, size_t n, int o), (f, b, n, o))
KELVO_FAILING(int, poll, kPoll, ENOMEM, (pollfd * f, nfds_t n, int t), (f, n, t))
KELVO_FAILING(int, connect, kConnect, ECONNREFUSED, (int f, const sockaddr* a, socklen_t n), (f, a, n))
KELVO_FAILING(pid_t, fork, kFork, EAGAIN, (), ())
KELVO_FAILING(int, pipe, kPipe, EMFILE, (int f[2]), (f))
KELVO_FAILING(int, pipe2, kPipe, EMFILE, (int f[2], int o), (f, o))
KELVO_FAILING(ssize_t, read, kRead, EIO, (int f, void* b, size_t n), (f, b, n))

namespace {

using namespace kelvotest;

// Runs `road` unarmed (n = 0), then with its n-th call in `counted` failing
// for n = 1, 2, ... until a run makes fewer than n such calls.
void EveryCallFailsOnce(unsigned counted, const std::function<void()>& road) {
    for (long n = 0;; ++n) {
        SCOPED_TRACE("failing call " + std::to_string(n));
        gCalls = 0;
        gFailAt = n;
        const auto start = std::chrono::steady_clock::now();
        gCounted = counted;
        road();
        gCounted = 0;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
        EXPECT_TRUE(n > 0 || gCalls > 2) << "the road makes almost no such call: the wrapping did not take";
        if ((n > 0 && gCalls < n) || ::testing::Test::HasFailure())
            break;
    }
}

bool Failed(const std::vector<std::string>& rows) { return !rows.empty() && rows.back().rfind("error ", 0) == 0; }

// A connection that lived through a failure answers its next statement with that statement's rows, or fails it.
void ExpectInStep(kelvo_connection_t* conn) {
    const std::vector<std::string> next = Column(conn, "SELECT 'next'", 0, true);
    EXPECT_TRUE(next == std::vector<std::string>{"next"} || Failed(next)) << next.size() << " rows: " << next[0];
}

class SystemCallFaults : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_server.Start(KELVO_SERVER_DIR); }
    static void TearDownTestSuite() { s_server.Stop(); }
    void SetUp() override {
        ASSERT_NE(nullptr, s_server.Get());
        kelvotest::AllowTestTime(std::chrono::seconds(240));
    }
    static ConnectionPtr Connect() {
        return s_server.Connect(s_server.Directory() + "/f.kelvo", KELVO_CREATE_IF_NOT_EXISTS);
    }
    static kelvotest::LibraryInstance s_server;
};

kelvotest::LibraryInstance SystemCallFaults::s_server;

TEST_F(SystemCallFaults, AQueryReadAheadGetsAnErrorOrItsRowsAndTheNextItsOwn) {
    EveryCallFailsOnce(kSend | kRecv | kPoll | kConnect, [&] {
        ConnectionPtr conn = Connect();
        if (!conn)
            return;
        const std::vector<std::string> rows = Column(conn.get(), "SELECT i FROM range(20000) t(i)", 0, true);
        bool whole = rows.size() == 20000;
        for (size_t i = 0; whole && i < rows.size(); ++i)
            whole = rows[i] == std::to_string(i);
        EXPECT_TRUE(whole || Failed(rows)) << rows.size() << " rows";
        ExpectInStep(conn.get());
    });
}

TEST_F(SystemCallFaults, ALoadIsWholeOrFailedAndNeverHangs) {
    kelvo_table_definition_t* table = kelvo_create_table_definition(nullptr, nullptr, "loaded", KELVO_PERMANENT, false);
    ASSERT_EQ("", TextOf(kelvo_table_definition_add_column(table, "k", KELVO_BIG_INT, 0xFFFFFFFF, nullptr, false)));
    ASSERT_EQ("", TextOf(kelvo_execute_command(Connect().get(), "CREATE TABLE loaded (k BIGINT NOT NULL)", nullptr)));
    long done = 0, tried = 0;
    EveryCallFailsOnce(kSend | kRecv | kPoll, [&] {
        ConnectionPtr conn = Connect();
        kelvo_inserter_t* inserter = nullptr;
        if (!conn || !TextOf(kelvo_create_inserter(conn.get(), table, &inserter)).empty())
            return;
        ++tried;
        kelvo_inserter_buffer_t* buffer = nullptr;
        bool ok = kelvo_create_inserter_buffer(inserter, table, "*", &buffer) == nullptr;
        for (int64_t k = 0; ok && k < 5000; ++k)
            ok = TextOf(kelvo_inserter_buffer_add_int64(buffer, k)).empty();
        ok = ok && TextOf(kelvo_inserter_buffer_flush(buffer)).empty();
        kelvo_inserter_buffer_destroy(buffer);
        done += TextOf(kelvo_close_inserter(inserter, ok)).empty() && ok;
        ExpectInStep(conn.get());
    });
    // A load whose answer was lost may be stored though it failed.
    const long stored = std::atol(Column(Connect().get(), "SELECT count(*) FROM loaded", 0, true).at(0).c_str());
    EXPECT_EQ(0, stored % 5000) << stored;
    EXPECT_GE(stored, done * 5000);
    EXPECT_LE(stored, tried * 5000);
    kelvo_destroy_table_definition(table);
}

TEST_F(SystemCallFaults, AServerStartFailsOrServes) {
    kelvo_parameters_t* parameters = nullptr;
    ASSERT_EQ("", TextOf(kelvo_create_instance_parameters(&parameters, true)));
    ASSERT_EQ("", TextOf(kelvo_parameters_set(parameters, "use_tcp_port", "off")));
    ASSERT_EQ("", TextOf(kelvo_parameters_set(parameters, "log_dir", s_server.Directory().c_str())));
    EveryCallFailsOnce(kFork | kPipe | kRead, [&] {
        kelvo_instance_t* instance = nullptr;
        if (ErrorPtr error{kelvo_instance_create(KELVO_SERVER_DIR, KELVO_DISABLE_TELEMETRY, parameters, &instance)})
            return;
        kelvo_parameters_t* connection = nullptr;
        EXPECT_EQ("", TextOf(kelvo_create_connection_parameters(instance, &connection)));
        kelvo_connection_t* conn = nullptr;
        if (ErrorPtr error{kelvo_connect(connection, &conn, KELVO_DO_NOT_CREATE)}; !error)
            ExpectInStep(ConnectionPtr(conn).get());
        kelvo_parameters_destroy(connection);
        kelvo_instance_close(instance);
    });
    kelvo_parameters_destroy(parameters);
}

}  // namespace
