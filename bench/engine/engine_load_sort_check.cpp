// Whether an engine build keeps every committed load when its commits run out
// of memory. On a database file with a spill directory and a given
// memory_limit, 16 connections load tagged batches, each batch in its own
// transaction (even connections by appender, odd ones by INSERT ... SELECT
// from a table function), while 2 connections sort a table of 3 M rows. Then
// the database is closed and reopened at the default limit: every batch whose
// COMMIT succeeded must be there once and whole, every other batch absent.
//
//   engine_load_sort_check [memory_limit=80MB|default] [runs=4] [seconds=15] [sort_rows=3000000]
//                          [batch_rows=20000]
//
// Prints a line per run and one verdict line (and one more each when the
// engine invalidated the database, or died or hung, in some run); exits 1
// when any run found damage or the engine died or hung. Each run's set-up,
// load and check run in child processes of their own, so that an engine that
// aborts or hangs is a finding of that run, not the end of the program.
#include <duckdb.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kLoaders = 16;
constexpr int kSorters = 2;
// Tags are loader * kTagsPerLoader + batch number, so that no two loaders share one.
constexpr int kTagsPerLoader = 1'000'000;
constexpr const char* kPadding = "-padding-that-keeps-the-text-off-the-inline-form";

struct Options {
    std::string limit = "80MB";
    int runs = 4;
    int seconds = 15;
    int64_t sortRows = 3'000'000;
    int64_t batchRows = 20'000;
};

// What a child process found; the parent reads it from the child's exit status.
enum ChildStatus { kClean = 0, kDamaged = 1, kBroken = 2 };

// Rows of batch `tag`: 1 to batchRows, spread by a mixing function so that
// sizes differ between neighbours.
int64_t BatchRows(int64_t tag, int64_t batchRows) {
    uint64_t x = static_cast<uint64_t>(tag) + 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return 1 + static_cast<int64_t>(x % static_cast<uint64_t>(batchRows));
}

std::string Payload(int64_t tag, int64_t seq) { return std::to_string(tag) + "-" + std::to_string(seq) + kPadding; }

// One line, for the outcome file and the report.
std::string OneLine(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r')
            c = ' ';
    return text.substr(0, 300);
}

duckdb_database Open(const std::string& path, const std::string& limit, const std::string& spill) {
    duckdb_config config = nullptr;
    duckdb_create_config(&config);
    if (limit != "default")
        duckdb_set_config(config, "memory_limit", limit.c_str());
    duckdb_set_config(config, "temp_directory", spill.c_str());
    duckdb_database db = nullptr;
    char* error = nullptr;
    const bool opened = duckdb_open_ext(path.c_str(), &db, config, &error) == DuckDBSuccess;
    duckdb_destroy_config(&config);
    if (!opened) {
        std::printf("    open %s: %s\n", path.c_str(), error ? OneLine(error).c_str() : "failed");
        duckdb_free(error);
        return nullptr;
    }
    return db;
}

// The engine's error text, which some failures leave unset.
std::string ErrorText(const char* text) { return text && *text ? text : "unknown error"; }

// Empty text when the statement succeeded, else the engine's error.
std::string Run(duckdb_connection conn, const std::string& sql) {
    duckdb_result r;
    std::string error;
    if (duckdb_query(conn, sql.c_str(), &r) == DuckDBError)
        error = ErrorText(duckdb_result_error(&r));
    duckdb_destroy_result(&r);
    return error;
}

// The table function tagged(tag, rows): batch `tag`'s rows, one thread.
struct TaggedBind {
    int64_t tag;
    int64_t rows;
};
struct TaggedState {
    int64_t next = 0;
};

void TaggedBindCallback(duckdb_bind_info info) {
    const char* names[4] = {"tag", "seq", "v", "payload"};
    const duckdb_type types[4] = {DUCKDB_TYPE_INTEGER, DUCKDB_TYPE_INTEGER, DUCKDB_TYPE_BIGINT, DUCKDB_TYPE_VARCHAR};
    for (int c = 0; c < 4; ++c) {
        duckdb_logical_type t = duckdb_create_logical_type(types[c]);
        duckdb_bind_add_result_column(info, names[c], t);
        duckdb_destroy_logical_type(&t);
    }
    duckdb_value tag = duckdb_bind_get_parameter(info, 0);
    duckdb_value rows = duckdb_bind_get_parameter(info, 1);
    auto* bind = new TaggedBind{duckdb_get_int64(tag), duckdb_get_int64(rows)};
    duckdb_destroy_value(&tag);
    duckdb_destroy_value(&rows);
    duckdb_bind_set_bind_data(info, bind, [](void* p) { delete static_cast<TaggedBind*>(p); });
}

void TaggedInitCallback(duckdb_init_info info) {
    duckdb_init_set_init_data(info, new TaggedState{}, [](void* p) { delete static_cast<TaggedState*>(p); });
    duckdb_init_set_max_threads(info, 1);
}

void TaggedScanCallback(duckdb_function_info info, duckdb_data_chunk output) {
    auto* bind = static_cast<TaggedBind*>(duckdb_function_get_bind_data(info));
    auto* state = static_cast<TaggedState*>(duckdb_function_get_init_data(info));
    const int64_t n = std::min<int64_t>(static_cast<int64_t>(duckdb_vector_size()), bind->rows - state->next);
    auto* tag = static_cast<int32_t*>(duckdb_vector_get_data(duckdb_data_chunk_get_vector(output, 0)));
    auto* seq = static_cast<int32_t*>(duckdb_vector_get_data(duckdb_data_chunk_get_vector(output, 1)));
    auto* v = static_cast<int64_t*>(duckdb_vector_get_data(duckdb_data_chunk_get_vector(output, 2)));
    duckdb_vector payload = duckdb_data_chunk_get_vector(output, 3);
    for (int64_t r = 0; r < n; ++r) {
        const int64_t s = state->next + r;
        tag[r] = static_cast<int32_t>(bind->tag);
        seq[r] = static_cast<int32_t>(s);
        v[r] = bind->tag * kTagsPerLoader + s;
        const std::string text = Payload(bind->tag, s);
        duckdb_vector_assign_string_element_len(payload, static_cast<idx_t>(r), text.data(), text.size());
    }
    state->next += std::max<int64_t>(n, 0);
    duckdb_data_chunk_set_size(output, static_cast<idx_t>(std::max<int64_t>(n, 0)));
}

bool RegisterTagged(duckdb_connection conn) {
    duckdb_table_function f = duckdb_create_table_function();
    duckdb_table_function_set_name(f, "tagged");
    duckdb_logical_type bigint = duckdb_create_logical_type(DUCKDB_TYPE_BIGINT);
    duckdb_table_function_add_parameter(f, bigint);
    duckdb_table_function_add_parameter(f, bigint);
    duckdb_destroy_logical_type(&bigint);
    duckdb_table_function_set_bind(f, TaggedBindCallback);
    duckdb_table_function_set_init(f, TaggedInitCallback);
    duckdb_table_function_set_function(f, TaggedScanCallback);
    const bool ok = duckdb_register_table_function(conn, f) == DuckDBSuccess;
    duckdb_destroy_table_function(&f);
    return ok;
}

// Appends batch `tag` inside the open transaction; the engine's error, or empty.
std::string AppendBatch(duckdb_connection conn, int64_t tag, int64_t rows) {
    duckdb_appender a = nullptr;
    if (duckdb_appender_create(conn, nullptr, "batches", &a) == DuckDBError) {
        std::string error = a ? ErrorText(duckdb_appender_error(a)) : "appender";
        duckdb_appender_destroy(&a);
        return error;
    }
    std::string error;
    for (int64_t s = 0; s < rows && error.empty(); ++s) {
        const std::string text = Payload(tag, s);
        duckdb_append_int32(a, static_cast<int32_t>(tag));
        duckdb_append_int32(a, static_cast<int32_t>(s));
        duckdb_append_int64(a, tag * kTagsPerLoader + s);
        duckdb_append_varchar_length(a, text.data(), text.size());
        if (duckdb_appender_end_row(a) == DuckDBError)
            error = ErrorText(duckdb_appender_error(a));
    }
    if (error.empty() && duckdb_appender_flush(a) == DuckDBError)
        error = ErrorText(duckdb_appender_error(a));
    duckdb_appender_destroy(&a);
    return error;
}

// One line per batch into the outcome file: "A <tag>" when its COMMIT
// succeeded, "D <tag> <error>" when its COMMIT failed but said it is durable,
// "F <tag> <error>" when anything failed. O_APPEND keeps the loaders' lines
// whole.
void Record(int fd, const std::string& line) {
    const std::string text = line + "\n";
    if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        std::_Exit(kBroken);
}

// A COMMIT whose own error says it is durable (its checkpoint failed after
// it): the batch must be kept. Later statements repeat that text as the
// "original error" of an invalidated database; their batches are not kept.
bool DurableDespite(const std::string& error) {
    return error.rfind("COMMIT: ", 0) == 0 && error.find("COMMIT succeeded and is durable") != std::string::npos &&
           error.find("previous fatal error") == std::string::npos;
}

// An invalidated database refuses everything from then on: the run has its finding.
void StopWhenInvalidated(const std::string& error, std::atomic<bool>& stop) {
    if (error.find("FATAL") != std::string::npos)
        stop = true;
}

void LoadBatches(duckdb_database db, int loader, int fd, std::atomic<bool>& stop, const Options& o) {
    duckdb_connection conn = nullptr;
    if (duckdb_connect(db, &conn) == DuckDBError)
        return Record(fd, "E connect");
    for (int64_t k = 0; !stop.load(); ++k) {
        const int64_t tag = static_cast<int64_t>(loader) * kTagsPerLoader + k;
        const int64_t rows = BatchRows(tag, o.batchRows);
        std::string error = Run(conn, "BEGIN TRANSACTION");
        if (error.empty()) {
            error = loader % 2 == 0 ? AppendBatch(conn, tag, rows)
                                    : Run(conn, "INSERT INTO batches SELECT * FROM tagged(" + std::to_string(tag) +
                                                    ", " + std::to_string(rows) + ")");
            if (error.empty()) {
                error = Run(conn, "COMMIT");
                if (!error.empty())
                    error = "COMMIT: " + error;
            }
        }
        // A failed COMMIT can leave its transaction open and aborted; end it either way.
        if (!error.empty())
            Run(conn, "ROLLBACK");
        Record(fd, std::string(error.empty()           ? "A "
                               : DurableDespite(error) ? "D "
                                                       : "F ") +
                       std::to_string(tag) + " " + OneLine(error));
        StopWhenInvalidated(error, stop);
    }
    duckdb_disconnect(&conn);
}

// Sorts the big table, reading the sorted rows as a stream, until told to stop.
void Sort(duckdb_database db, int fd, std::atomic<bool>& stop) {
    duckdb_connection conn = nullptr;
    if (duckdb_connect(db, &conn) == DuckDBError)
        return Record(fd, "E connect");
    while (!stop.load()) {
        duckdb_prepared_statement p = nullptr;
        duckdb_pending_result pending = nullptr;
        duckdb_result r;
        std::string error;
        if (duckdb_prepare(conn, "SELECT * FROM big ORDER BY s", &p) == DuckDBError) {
            error = ErrorText(duckdb_prepare_error(p));
        } else if (duckdb_pending_prepared_streaming(p, &pending) == DuckDBError) {
            error = ErrorText(duckdb_pending_error(pending));
        } else if (duckdb_execute_pending(pending, &r) == DuckDBError) {
            error = ErrorText(duckdb_result_error(&r));
            duckdb_destroy_result(&r);
        } else {
            while (duckdb_data_chunk chunk = duckdb_fetch_chunk(r))
                duckdb_destroy_data_chunk(&chunk);
            if (const char* text = duckdb_result_error(&r))
                error = text;
            duckdb_destroy_result(&r);
        }
        duckdb_destroy_pending(&pending);
        duckdb_destroy_prepare(&p);
        Record(fd, error.empty() ? "S ok" : "S " + OneLine(error));
        StopWhenInvalidated(error, stop);
    }
    duckdb_disconnect(&conn);
}

// Child: the tables the run starts from, at the default limit.
int SetUp(const std::string& dir, const Options& o) {
    duckdb_database db = Open(dir + "/check.duckdb", "default", dir + "/spill");
    duckdb_connection conn = nullptr;
    if (db == nullptr || duckdb_connect(db, &conn) == DuckDBError)
        return kBroken;
    for (const std::string& sql :
         {"CREATE TABLE big AS SELECT i, md5(i::VARCHAR) AS s, i * 7 AS r FROM range(" + std::to_string(o.sortRows) +
              ") t(i)",
          std::string("CREATE TABLE batches (tag INTEGER, seq INTEGER, v BIGINT, payload VARCHAR)"),
          std::string("CHECKPOINT")}) {
        const std::string error = Run(conn, sql);
        if (!error.empty()) {
            std::printf("    set-up: %s\n", OneLine(error).c_str());
            return kBroken;
        }
    }
    duckdb_disconnect(&conn);
    duckdb_close(&db);
    return kClean;
}

// Child: the loads and the sorts under the limit, then the engine closed.
int Load(const std::string& dir, const Options& o) {
    const int fd = ::open((dir + "/outcome").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    duckdb_database db = Open(dir + "/check.duckdb", o.limit, dir + "/spill");
    duckdb_connection conn = nullptr;
    if (fd < 0 || db == nullptr || duckdb_connect(db, &conn) == DuckDBError || !RegisterTagged(conn))
        return kBroken;
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < kLoaders; ++i)
        threads.emplace_back([&, i] { LoadBatches(db, i, fd, stop, o); });
    for (int i = 0; i < kSorters; ++i)
        threads.emplace_back([&] { Sort(db, fd, stop); });
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(o.seconds);
    while (!stop.load() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stop = true;
    for (auto& t : threads)
        t.join();
    duckdb_disconnect(&conn);
    duckdb_close(&db);
    Record(fd, "C closed");
    ::close(fd);
    return kClean;
}

struct Outcome {
    std::map<int64_t, bool> batches;  // tag -> acknowledged
    int durableDespiteError = 0;      // kept batches whose COMMIT failed but said it is durable
    int commitFailures = 0;           // failed batches whose COMMIT failed
    int outOfMemory = 0;              // failed batches whose error says memory ran out
    int sortsDone = 0;
    int sortsFailed = 0;
    bool closed = false;  // the load child closed the engine
    bool fatal = false;   // the engine invalidated the database while it ran
    // Every error text (the start of it, which names its kind) and how often it came.
    std::map<std::string, int> errors;
};

// An error text without its figures and the engine's advice, so that errors of one kind count together.
std::string ErrorKind(const std::string& error) {
    std::string kind;
    for (char c : error.substr(0, error.find("  Possible solutions"))) {
        const bool figure =
            std::isdigit(static_cast<unsigned char>(c)) || (c == '.' && !kind.empty() && kind.back() == '#');
        if (!figure)
            kind += c;
        else if (kind.empty() || kind.back() != '#')
            kind += '#';
    }
    return kind.substr(0, 200);
}

Outcome ReadOutcome(const std::string& dir) {
    Outcome o;
    std::ifstream in(dir + "/outcome");
    std::string line;
    while (std::getline(in, line)) {
        const char kind = line.empty() ? ' ' : line[0];
        std::string rest = line.size() > 2 ? line.substr(2) : "";
        std::string error;
        if (kind == 'A' || kind == 'D' || kind == 'F') {
            const int64_t tag = std::stoll(rest);
            o.batches[tag] = kind != 'F';
            o.durableDespiteError += kind == 'D';
            if (kind == 'A')
                continue;
            error = rest.substr(rest.find(' ') + 1);
            if (kind == 'F') {
                o.commitFailures += error.rfind("COMMIT", 0) == 0;
                o.outOfMemory += error.find("pin block") != std::string::npos ||
                                 error.find("emory") != std::string::npos ||
                                 error.find("allocate") != std::string::npos;
            }
        } else if (kind == 'S') {
            if (rest == "ok") {
                ++o.sortsDone;
                continue;
            }
            ++o.sortsFailed;
            error = "sort: " + rest;
        } else if (kind == 'C') {
            o.closed = true;
            continue;
        } else {
            error = line;
        }
        o.fatal |= error.find("FATAL") != std::string::npos;
        ++o.errors[ErrorKind(error)];
    }
    return o;
}

// The most frequent error texts of a run, most frequent first.
void PrintErrors(const Outcome& outcome) {
    std::vector<std::pair<int, std::string>> errors;
    for (const auto& [text, count] : outcome.errors)
        errors.emplace_back(count, text);
    std::sort(errors.rbegin(), errors.rend());
    for (size_t i = 0; i < errors.size() && i < 6; ++i)
        std::printf("    %6dx %s\n", errors[i].first, errors[i].second.c_str());
}

// Child: reopens at the default limit and compares every batch with its outcome.
int Check(const std::string& dir, const Options& o) {
    const Outcome outcome = ReadOutcome(dir);
    duckdb_database db = Open(dir + "/check.duckdb", "default", dir + "/spill");
    duckdb_connection conn = nullptr;
    if (db == nullptr || duckdb_connect(db, &conn) == DuckDBError)
        return kDamaged;
    duckdb_result r;
    const std::string sql =
        "SELECT tag, count(*), count(DISTINCT seq), min(seq), max(seq), count(*) FILTER (WHERE v IS DISTINCT FROM "
        "tag::BIGINT * " +
        std::to_string(kTagsPerLoader) + " + seq OR payload IS DISTINCT FROM concat(tag, '-', seq, '" + kPadding +
        "')) FROM batches GROUP BY tag";
    if (duckdb_query(conn, sql.c_str(), &r) == DuckDBError) {
        std::printf("    reading the batches back: %s\n", OneLine(ErrorText(duckdb_result_error(&r))).c_str());
        return kDamaged;
    }
    int missing = 0, torn = 0, doubled = 0, wrong = 0, failedPresent = 0, unknown = 0, unresolved = 0;
    std::map<int64_t, bool> seen;
    for (idx_t row = 0; row < duckdb_row_count(&r); ++row) {
        if (duckdb_value_is_null(&r, 0, row)) {
            ++unknown;
            continue;
        }
        const int64_t tag = duckdb_value_int64(&r, 0, row);
        const int64_t count = duckdb_value_int64(&r, 1, row), distinct = duckdb_value_int64(&r, 2, row);
        const int64_t first = duckdb_value_int64(&r, 3, row), last = duckdb_value_int64(&r, 4, row);
        const int64_t bad = duckdb_value_int64(&r, 5, row);
        const int64_t rows = BatchRows(tag, o.batchRows);
        seen[tag] = true;
        const auto known = outcome.batches.find(tag);
        if (known == outcome.batches.end()) {
            // A batch in flight when the load child died has no outcome; any other tag is foreign.
            if (outcome.closed)
                ++unknown;
            else
                ++unresolved;
            continue;
        }
        if (!known->second) {
            ++failedPresent;
            continue;
        }
        if (bad > 0)
            ++wrong;
        else if (count > rows || distinct < count)
            ++doubled;
        else if (count < rows || first != 0 || last != rows - 1)
            ++torn;
    }
    duckdb_destroy_result(&r);
    for (const auto& [tag, acknowledged] : outcome.batches)
        missing += acknowledged && seen.count(tag) == 0;
    std::string bigError = Run(conn, "SELECT 1 WHERE (SELECT count(*) FROM big) <> " + std::to_string(o.sortRows));
    duckdb_disconnect(&conn);
    duckdb_close(&db);

    std::printf(
        "    reopened: %d acknowledged missing, %d torn, %d doubled, %d with wrong values, %d failed present, %d "
        "foreign tags, %d in flight at an abort%s%s\n",
        missing, torn, doubled, wrong, failedPresent, unknown, unresolved,
        bigError.empty() ? "" : "; the sorted table: ", OneLine(bigError).c_str());
    const bool damaged = missing + torn + doubled + wrong + failedPresent + unknown > 0 || !bigError.empty();
    return damaged ? kDamaged : kClean;
}

// Runs `body` in a child process and waits at most `seconds` for it.
// Returns the child's status, or kBroken (with a note) when it died or hung.
template <typename F>
int InChild(const char* what, int seconds, F&& body) {
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid < 0)
        return kBroken;
    if (pid == 0) {
        const int status = body();
        std::fflush(stdout);
        std::_Exit(status);
    }
    int status = 0;
    for (int waited = 0; waited < seconds * 10; ++waited) {
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            if (WIFEXITED(status))
                return WEXITSTATUS(status);
            std::printf("    %s: the engine died (signal %d)\n", what, WTERMSIG(status));
            return kBroken;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    std::printf("    %s: hung for %d s, killed\n", what, seconds);
    return kBroken;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (argc > 1)
        o.limit = argv[1];
    auto arg = [&](int i, int64_t fallback) { return argc > i ? std::strtoll(argv[i], nullptr, 10) : fallback; };
    o.runs = static_cast<int>(arg(2, o.runs));
    o.seconds = static_cast<int>(arg(3, o.seconds));
    o.sortRows = arg(4, o.sortRows);
    o.batchRows = std::max<int64_t>(1, arg(5, o.batchRows));

    const std::string version = duckdb_library_version();
    std::printf(
        "engine %s, memory_limit %s: %d runs of %d s, %d loaders, %d sorts of %lld rows, batches of up to %lld "
        "rows\n",
        version.c_str(), o.limit.c_str(), o.runs, o.seconds, kLoaders, kSorters, static_cast<long long>(o.sortRows),
        static_cast<long long>(o.batchRows));
    int damagedRuns = 0, diedRuns = 0, invalidatedRuns = 0;
    for (int run = 1; run <= o.runs; ++run) {
        char pattern[] = "/tmp/engine_load_sort_check.XXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            std::perror("mkdtemp");
            return 2;
        }
        const std::string dir = pattern;
        std::printf("run %d:\n", run);
        if (InChild("set-up", 300, [&] { return SetUp(dir, o); }) != kClean) {
            std::printf("    could not set up the run\n");
            std::filesystem::remove_all(dir);
            return 2;
        }
        const int loaded = InChild("load", o.seconds + 300, [&] { return Load(dir, o); });
        const Outcome outcome = ReadOutcome(dir);
        int acknowledged = 0;
        for (const auto& batch : outcome.batches)
            acknowledged += batch.second;
        std::printf(
            "    %d batches acknowledged (%d by a failed COMMIT that said it is durable), %d failed (%d at COMMIT, %d "
            "out of memory); sorts %d done, %d failed%s\n",
            acknowledged, outcome.durableDespiteError, static_cast<int>(outcome.batches.size()) - acknowledged,
            outcome.commitFailures, outcome.outOfMemory, outcome.sortsDone, outcome.sortsFailed,
            outcome.closed ? "" : "; the engine did not close");
        if (outcome.fatal)
            std::printf("    the engine invalidated the database (a FATAL error); the loads stopped there\n");
        invalidatedRuns += outcome.fatal;
        PrintErrors(outcome);
        const int checked = InChild("check", 300, [&] { return Check(dir, o); });
        const bool damaged = checked != kClean;
        damagedRuns += damaged;
        diedRuns += loaded != kClean;
        std::printf("    %s%s\n", damaged ? "DAMAGED" : "whole", loaded != kClean ? ", the engine died or hung" : "");
        std::filesystem::remove_all(dir);
    }
    std::printf("engine %s: corrupts at %s: %s, %d of %d runs\n", version.c_str(), o.limit.c_str(),
                damagedRuns > 0 ? "yes" : "no", damagedRuns, o.runs);
    if (invalidatedRuns > 0)
        std::printf("engine %s: invalidated the database at %s in %d of %d runs\n", version.c_str(), o.limit.c_str(),
                    invalidatedRuns, o.runs);
    if (diedRuns > 0)
        std::printf("engine %s: died or hung at %s in %d of %d runs\n", version.c_str(), o.limit.c_str(), diedRuns,
                    o.runs);
    return damagedRuns + diedRuns > 0 ? 1 : 0;
}
