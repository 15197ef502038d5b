// The table function kelvod_load_feed and the feeds it reads.
#include "kelvod/load_feed.h"

#include <map>
#include <random>

#include "kelvod/attachments.h"
#include "kelvod/catalog.h"
#include "kelvod/engine_errors.h"
#include "kelvod/sql_lexer.h"

namespace kelvod {

namespace {

constexpr const char* kFunctionName = "kelvod_load_feed";
// Threads that decode and write one load at most (the engine may give fewer):
// each holds a row group of its own in memory, which bounds the server's peak.
constexpr idx_t kMaxScanThreads = 8;

std::mutex g_feedsMutex;
std::map<int64_t, std::shared_ptr<LoadFeed>>& Feeds() {
    static std::map<int64_t, std::shared_ptr<LoadFeed>> feeds;
    return feeds;
}

std::shared_ptr<LoadFeed> FindFeed(int64_t id) {
    std::lock_guard<std::mutex> lock(g_feedsMutex);
    auto it = Feeds().find(id);
    return it == Feeds().end() ? nullptr : it->second;
}

struct ScanBind {
    std::shared_ptr<LoadFeed> feed;
};

// One scan thread's piece and how far it has decoded it.
struct ScanLocal {
    explicit ScanLocal(const std::vector<CopyColumn>& columns) : decoder(columns) {}
    KlvcpyRowDecoder decoder;
    RowPiece piece;
    size_t offset = 0;
    uint64_t decodedInPiece = 0;
};

void Bind(duckdb_bind_info info) {
    duckdb_value id = duckdb_bind_get_parameter(info, 0);
    auto feed = FindFeed(duckdb_get_int64(id));
    duckdb_destroy_value(&id);
    if (!feed) {
        duckdb_bind_set_error(info, "There is no such load.");
        return;
    }
    for (const auto& c : feed->Columns()) {
        duckdb_logical_type type = CopyColumnLogicalType(c);
        duckdb_bind_add_result_column(info, c.name.c_str(), type);
        duckdb_destroy_logical_type(&type);
    }
    duckdb_bind_set_bind_data(info, new ScanBind{std::move(feed)}, [](void* p) { delete static_cast<ScanBind*>(p); });
}

void Init(duckdb_init_info info) { duckdb_init_set_max_threads(info, kMaxScanThreads); }

void LocalInit(duckdb_init_info info) {
    auto* bind = static_cast<ScanBind*>(duckdb_init_get_bind_data(info));
    duckdb_init_set_init_data(info, new ScanLocal(bind->feed->Columns()),
                              [](void* p) { delete static_cast<ScanLocal*>(p); });
}

void Scan(duckdb_function_info info, duckdb_data_chunk output) {
    auto& feed = *static_cast<ScanBind*>(duckdb_function_get_bind_data(info))->feed;
    auto& local = *static_cast<ScanLocal*>(duckdb_function_get_local_init_data(info));
    const idx_t capacity = duckdb_vector_size();
    idx_t filled = 0;
    try {
        while (filled < capacity) {
            if (local.offset == local.piece.bytes.size()) {
                // Rows in hand go out before this thread waits for more.
                if (filled > 0) break;
                local.piece.bytes.clear();
                local.offset = 0;
                local.decodedInPiece = 0;
                if (!feed.Source().Next(local.piece)) break;
            }
            const auto* begin = reinterpret_cast<const uint8_t*>(local.piece.bytes.data());
            idx_t before = filled;
            const uint8_t* at = local.decoder.Decode(begin + local.offset, begin + local.piece.bytes.size(), output,
                                                     filled, capacity, local.piece.firstRow + local.decodedInPiece,
                                                     filled);
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

}  // namespace

void LoadFeed::Fail(std::exception_ptr error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_failure) m_failure = std::move(error);
}

std::exception_ptr LoadFeed::Failure() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_failure;
}

LoadFeedRegistration::LoadFeedRegistration(std::shared_ptr<LoadFeed> feed) {
    static std::mt19937_64 random{std::random_device{}()};
    std::lock_guard<std::mutex> lock(g_feedsMutex);
    do {
        m_id = static_cast<int64_t>(random() >> 1);
    } while (Feeds().count(m_id));
    Feeds().emplace(m_id, std::move(feed));
}

LoadFeedRegistration::~LoadFeedRegistration() {
    std::lock_guard<std::mutex> lock(g_feedsMutex);
    Feeds().erase(m_id);
}

std::string LoadFeedRegistration::Call() const { return std::string(kFunctionName) + "(" + std::to_string(m_id) + ")"; }

uint64_t RunFeedingInsert(duckdb_connection connection, const std::string& text, const LoadFeed& feed) {
    duckdb_result result;
    if (duckdb_query(connection, text.c_str(), &result) == DuckDBError) {
        ErrorFields e = EngineErrorFields(duckdb_result_error(&result) ? duckdb_result_error(&result) : "");
        duckdb_destroy_result(&result);
        if (auto failure = feed.Failure()) std::rethrow_exception(failure);
        throw SqlError(e.sqlstate, e.message, e.hint);
    }
    auto rows = static_cast<uint64_t>(duckdb_value_int64(&result, 0, 0));
    duckdb_destroy_result(&result);
    return rows;
}

InsertionOrderFree::InsertionOrderFree(duckdb_connection connection, bool wanted) : m_connection(connection) {
    if (!wanted) return;
    auto current = QueryText(connection, "SELECT current_setting('preserve_insertion_order')::VARCHAR");
    if (current.empty() || current[0][0] != std::string("true")) return;
    RunEngine(connection, "SET SESSION preserve_insertion_order = false");
    m_changed = true;
}

InsertionOrderFree::~InsertionOrderFree() {
    if (!m_changed) return;
    try {
        RunEngine(m_connection, "RESET SESSION preserve_insertion_order");
    } catch (...) {
        // Outside a transaction block a RESET does not fail.
    }
}

void RegisterLoadFeedFunction(duckdb_connection connection) {
    duckdb_table_function f = duckdb_create_table_function();
    duckdb_table_function_set_name(f, kFunctionName);
    duckdb_logical_type bigint = duckdb_create_logical_type(DUCKDB_TYPE_BIGINT);
    duckdb_table_function_add_parameter(f, bigint);
    duckdb_destroy_logical_type(&bigint);
    duckdb_table_function_set_bind(f, Bind);
    duckdb_table_function_set_init(f, Init);
    duckdb_table_function_set_local_init(f, LocalInit);
    duckdb_table_function_set_function(f, Scan);
    duckdb_state state = duckdb_register_table_function(connection, f);
    duckdb_destroy_table_function(&f);
    if (state == DuckDBError) throw SqlError("XX000", "The load function cannot be registered with the engine.");
}

}  // namespace kelvod
