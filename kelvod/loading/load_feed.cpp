// The table function kelvod_load_feed and the feeds it reads.
#include "kelvod/loading/load_feed.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <random>
#include <thread>
#include <utility>

#include "kelvod/engine/attachments.h"
#include "kelvod/engine/engine_errors.h"
#include "kelvod/engine/engine_handles.h"
#include "kelvod/sql/catalog.h"
#include "kelvod/sql/sql_lexer.h"
#include "kelvod/sql/statement_tokens.h"

namespace kelvod {

namespace {

constexpr const char* kFunctionName = "kelvod_load_feed";
// Threads that decode and write one load at most (the engine may give fewer):
// each holds a row group of its own in memory, which bounds the server's peak.
constexpr idx_t kMaxScanThreads = 4;

struct RegisteredFeed {
    std::shared_ptr<LoadFeed> feed;
    idx_t ownerConnection;
};

std::mutex g_feedsMutex;
std::map<int64_t, RegisteredFeed>& Feeds() {
    static std::map<int64_t, RegisteredFeed> feeds;
    return feeds;
}

// The feed, when the connection asking is the one that registered it: a feed
// another connection names is as unknown to it as one that does not exist.
std::shared_ptr<LoadFeed> FindFeed(int64_t id, idx_t connection) {
    std::lock_guard<std::mutex> lock(g_feedsMutex);
    auto it = Feeds().find(id);
    return it == Feeds().end() || it->second.ownerConnection != connection ? nullptr : it->second.feed;
}

idx_t ConnectionId(duckdb_connection connection) {
    ClientContextHandle context;
    duckdb_connection_get_client_context(connection, context.Out());
    return duckdb_client_context_get_connection_id(context.Get());
}

// The engine hands bind data to its threads in ways the thread sanitizer does
// not see; the id is read atomically and the feed found again under the
// registry's lock, which orders the feed's making before the thread's reads.
struct ScanBind {
    std::atomic<int64_t> id;
    std::atomic<idx_t> connection;
};

// One scan thread's piece and how far it has decoded it.
struct ScanLocal {
    explicit ScanLocal(std::shared_ptr<LoadFeed> f)
        : feed(std::move(f)), decoder(feed->Columns(), !feed->ValuesChecked()) {}
    std::shared_ptr<LoadFeed> feed;
    KlvcpyRowDecoder decoder;
    RowPiece piece;
    size_t offset = 0;
    uint64_t decodedInPiece = 0;
};

void Bind(duckdb_bind_info info) {
    const int64_t id = duckdb_get_int64(ValueHandle(duckdb_bind_get_parameter(info, 0)).Get());
    ClientContextHandle context;
    duckdb_table_function_get_client_context(info, context.Out());
    const idx_t connection = duckdb_client_context_get_connection_id(context.Get());
    auto feed = FindFeed(id, connection);
    if (!feed) {
        duckdb_bind_set_error(info, "There is no such load.");
        return;
    }
    for (const auto& c : feed->Columns()) {
        LogicalTypeHandle type(CopyColumnLogicalType(c));
        duckdb_bind_add_result_column(info, c.name.c_str(), type.Get());
    }
    auto* bind = new ScanBind;
    bind->id.store(id);
    bind->connection.store(connection);
    duckdb_bind_set_bind_data(info, bind, [](void* p) { delete static_cast<ScanBind*>(p); });
}

void Init(duckdb_init_info info) { duckdb_init_set_max_threads(info, kMaxScanThreads); }

void LocalInit(duckdb_init_info info) {
    auto* bind = static_cast<ScanBind*>(duckdb_init_get_bind_data(info));
    auto feed = FindFeed(bind->id.load(), bind->connection.load());
    if (!feed) {
        duckdb_init_set_error(info, "There is no such load.");
        return;
    }
    duckdb_init_set_init_data(info, new ScanLocal(std::move(feed)), [](void* p) { delete static_cast<ScanLocal*>(p); });
}

void Scan(duckdb_function_info info, duckdb_data_chunk output) {
    auto& local = *static_cast<ScanLocal*>(duckdb_function_get_local_init_data(info));
    LoadFeed& feed = *local.feed;
    const idx_t capacity = duckdb_vector_size();
    idx_t filled = 0;
    try {
        while (filled < capacity) {
            if (local.offset == local.piece.bytes.size()) {
                // Rows in hand go out before this thread waits for more.
                if (filled > 0)
                    break;
                local.piece.bytes.clear();
                local.offset = 0;
                local.decodedInPiece = 0;
                if (!feed.Source().Next(local.piece))
                    break;
            }
            const auto* begin = reinterpret_cast<const uint8_t*>(local.piece.bytes.data());
            idx_t before = filled;
            const uint8_t* at =
                local.decoder.Decode(begin + local.offset, begin + local.piece.bytes.size(), output, filled, capacity,
                                     local.piece.firstRow + local.decodedInPiece, filled);
            local.offset = static_cast<size_t>(at - begin);
            local.decodedInPiece += filled - before;
        }
    } catch (const std::exception& e) {
        feed.Fail(std::current_exception());
        duckdb_function_set_error(info, e.what());
        return;
    } catch (...) {
        feed.Fail(std::current_exception());
        duckdb_function_set_error(info, "The load failed.");
        return;
    }
    duckdb_data_chunk_set_size(output, filled);
}

// Whether the engine has worker threads besides the one that runs a statement.
bool BackgroundThreads(duckdb_connection connection) {
    auto threads = QueryText(connection, "SELECT current_setting('threads')::VARCHAR");
    return !threads.empty() && threads[0][0] && std::atoi(threads[0][0]->c_str()) > 1;
}

}  // namespace

void LoadFeed::Fail(std::exception_ptr error) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_failure)
            m_failure = std::move(error);
    }
    m_source.Abandon();
}

std::exception_ptr LoadFeed::Failure() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_failure;
}

LoadFeedRegistration::LoadFeedRegistration(std::shared_ptr<LoadFeed> feed, duckdb_connection owner) {
    const idx_t connection = ConnectionId(owner);
    std::random_device random;
    std::lock_guard<std::mutex> lock(g_feedsMutex);
    do {
        m_id = static_cast<int64_t>(((uint64_t{random()} << 32) | random()) >> 1);
    } while (Feeds().count(m_id));
    Feeds().emplace(m_id, RegisteredFeed{std::move(feed), connection});
}

LoadFeedRegistration::~LoadFeedRegistration() {
    std::lock_guard<std::mutex> lock(g_feedsMutex);
    Feeds().erase(m_id);
}

std::string LoadFeedRegistration::Call() const { return std::string(kFunctionName) + "(" + std::to_string(m_id) + ")"; }

uint64_t RunFeedingInsert(duckdb_connection connection, const std::string& text, const LoadFeed& feed) {
    PreparedStatementHandle prepared;
    PendingResultHandle pending;
    ResultHandle result;
    auto fail = [&](EngineError error) {
        if (auto failure = feed.Failure())
            std::rethrow_exception(failure);
        throw std::move(error);
    };
    // Asked first: another query on the connection would close the pending one.
    const bool background = BackgroundThreads(connection);
    if (duckdb_prepare(connection, text.c_str(), prepared.Out()) == DuckDBError)
        fail(TextError(duckdb_prepare_error(prepared.Get()), ""));
    if (duckdb_pending_prepared(prepared.Get(), pending.Out()) == DuckDBError)
        fail(TextError(duckdb_pending_error(pending.Get()), ""));
    // The engine's worker threads run the statement; this thread only waits.
    // Run by the caller, the engine's wait for tasks spins and takes a core
    // from the threads that decode and write.
    if (background) {
        for (;;) {
            duckdb_pending_state state = duckdb_pending_execute_check_state(pending.Get());
            // The engine answers "error" without a message also once execution
            // has finished; the result below then tells how it went.
            if (state == DUCKDB_PENDING_ERROR) {
                const char* message = duckdb_pending_error(pending.Get());
                if (message && *message)
                    fail(TextError(message, ""));
                break;
            }
            if (state == DUCKDB_PENDING_RESULT_READY)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    if (duckdb_execute_pending(pending.Get(), result.Out()) == DuckDBError)
        fail(ResultError(result.Get()));
    return static_cast<uint64_t>(duckdb_value_int64(&result.Get(), 0, 0));
}

InsertionOrderFree::InsertionOrderFree(duckdb_connection connection, bool wanted) : m_connection(connection) {
    if (!wanted)
        return;
    auto current = QueryText(connection, "SELECT current_setting('preserve_insertion_order')::VARCHAR");
    if (current.empty() || current[0][0] != std::string("true"))
        return;
    RunEngine(connection, "SET SESSION preserve_insertion_order = false");
    m_changed = true;
}

InsertionOrderFree::~InsertionOrderFree() {
    if (!m_changed)
        return;
    try {
        RunEngine(m_connection, "RESET SESSION preserve_insertion_order");
    } catch (...) {
        // Outside a transaction block a RESET does not fail.
    }
}

void RegisterLoadFeedFunction(duckdb_connection connection) {
    TableFunctionHandle f(duckdb_create_table_function());
    duckdb_table_function_set_name(f.Get(), kFunctionName);
    duckdb_table_function_add_parameter(f.Get(),
                                        LogicalTypeHandle(duckdb_create_logical_type(DUCKDB_TYPE_BIGINT)).Get());
    duckdb_table_function_set_bind(f.Get(), Bind);
    duckdb_table_function_set_init(f.Get(), Init);
    duckdb_table_function_set_local_init(f.Get(), LocalInit);
    duckdb_table_function_set_function(f.Get(), Scan);
    if (duckdb_register_table_function(connection, f.Get()) == DuckDBError)
        throw SqlError("XX000", "The load function cannot be registered with the engine.");
}

}  // namespace kelvod
