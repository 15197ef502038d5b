// Allocation failure at the C boundary, the n-th allocation failing for every n: a lost one is reported and nothing
// leaks. The C allocation functions are linked with --wrap to the counters here; only the armed test thread counts.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>

#include "kelvo/error.h"
#include "kelvo/parameters.h"
#include "kelvo/types.h"
#include "postgres/libpq/conninfo.h"
#include "postgres/libpq/protocol3_parser.h"
#include "postgres/libpq/result_record.h"
#include "support/connected_record.h"
#include "support/scripted_peer.h"

extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* pointer, size_t size);
char* __real_strdup(const char* text);
char* __real_strndup(const char* text, size_t size);
void __real_free(void* pointer);
}

namespace {

thread_local bool tArmed = false;
thread_local long tBeforeFailure = 0;  // allocations that still succeed
thread_local bool tFailed = false;
thread_local long tLive = 0;  // armed allocations not yet freed

// The live armed allocations: open addressing, only touched by the armed thread.
constexpr size_t kSlots = 1 << 16;
void* const kTombstone = reinterpret_cast<void*>(1);
void* gSlots[kSlots];

size_t SlotOf(const void* p) { return (reinterpret_cast<uintptr_t>(p) >> 4) * 0x9E3779B97F4A7C15ull >> 48; }

bool FailThisOne() {
    if (!tArmed || tFailed)
        return false;
    if (tBeforeFailure-- > 0)
        return false;
    tFailed = true;
    return true;
}

void* Track(void* p) {
    if (!tArmed || p == nullptr)
        return p;
    for (size_t i = SlotOf(p);; i = (i + 1) % kSlots) {
        if (gSlots[i] == nullptr || gSlots[i] == kTombstone) {
            gSlots[i] = p;
            ++tLive;
            return p;
        }
    }
}

void Untrack(void* p) {
    if (!tArmed || p == nullptr)
        return;
    for (size_t i = SlotOf(p); gSlots[i] != nullptr; i = (i + 1) % kSlots) {
        if (gSlots[i] == p) {
            gSlots[i] = kTombstone;
            --tLive;
            return;
        }
    }
}

}  // namespace

extern "C" {
void* __wrap_malloc(size_t size) { return FailThisOne() ? nullptr : Track(__real_malloc(size)); }
void* __wrap_calloc(size_t count, size_t size) { return FailThisOne() ? nullptr : Track(__real_calloc(count, size)); }
void* __wrap_realloc(void* pointer, size_t size) {
    if (FailThisOne())
        return nullptr;
    void* moved = __real_realloc(pointer, size);
    if (moved != nullptr) {
        Untrack(pointer);
        Track(moved);
    }
    return moved;
}
char* __wrap_strdup(const char* text) {
    return FailThisOne() ? nullptr : static_cast<char*>(Track(__real_strdup(text)));
}
char* __wrap_strndup(const char* text, size_t size) {
    return FailThisOne() ? nullptr : static_cast<char*>(Track(__real_strndup(text, size)));
}
void __wrap_free(void* pointer) {
    Untrack(pointer);
    __real_free(pointer);
}
}

void* operator new(size_t size) {
    if (void* p = malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return malloc(size == 0 ? 1 : size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return malloc(size == 0 ? 1 : size); }
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { free(p); }

namespace {

using namespace kelvotest;
namespace w = kelvotest::wire;

// A failed call's error, which must exist; true when there was none.
bool Succeeded(kelvo_error_t* error) {
    kelvo_error_destroy(error);
    return error == nullptr;
}

kelvo_error_t* SetText(kelvo_error_t* error, kelvo_error_field_key key, const char* text) {
    kelvo_error_field_value value{1, {}};
    value.value.string = text;
    return kelvo_error_set_field(error, key, value);
}

bool ErrorWithTexts() {
    kelvo_error_t* error = kelvo_error_create(0x1234);
    kelvo_error_field_value value{};
    const bool ok = error != nullptr &&
                    Succeeded(SetText(error, KELVO_ERROR_FIELD_MESSAGE, "a message long enough to be on the heap")) &&
                    Succeeded(SetText(error, KELVO_ERROR_FIELD_HINT_MESSAGE, "a hint long enough to be on the heap")) &&
                    Succeeded(kelvo_error_get_field(error, KELVO_ERROR_FIELD_SQL_STATE, &value));
    kelvo_error_destroy(error);
    return ok;
}

bool ParametersSetAndCopied() {
    kelvo_parameters_t* parameters = nullptr;
    if (!Succeeded(kelvo_create_instance_parameters(&parameters, true)))
        return false;
    const bool set =
        Succeeded(kelvo_parameters_set(parameters, "database_directory", "/tmp/a/directory/of/some/length")) &&
        Succeeded(kelvo_parameters_set(parameters, "default_database", "a value long enough to be on the heap"));
    kelvo_parameters_t* copy = set ? kelvo_parameters_copy(parameters) : nullptr;
    const bool ok = copy != nullptr;
    kelvo_parameters_destroy(copy);
    kelvo_parameters_destroy(parameters);
    return ok;
}

bool TableDefinitionBuiltAndCopied() {
    kelvo_table_definition_t* table =
        kelvo_create_table_definition("a_database", "a_schema", "a_table_name_on_the_heap", KELVO_PERMANENT, false);
    kelvo_table_definition_t* copy = nullptr;
    const bool ok = table != nullptr &&
                    Succeeded(kelvo_table_definition_add_column(table, "a_column_name_on_the_heap", KELVO_VARCHAR,
                                                                kelvo_encode_string_modifier(20), "en_US", true)) &&
                    Succeeded(kelvo_table_definition_add_column(
                        table, "n", KELVO_NUMERIC, kelvo_encode_numeric_modifier(18, 3), nullptr, false)) &&
                    Succeeded(kelvo_copy_table_definition(table, &copy));
    kelvo_destroy_table_definition(copy);
    kelvo_destroy_table_definition(table);
    return ok;
}

bool ConninfoParsed(const char* conninfo) {
    char* message = nullptr;
    PQconninfoOption* options = PQconninfoParse(conninfo, &message);
    free(message);
    PQconninfoFree(options);
    return options != nullptr;
}

// A statement's answer parsed into results: success only when every row arrived; a lost allocation must end in an error
// result or a dead record.
bool ScriptedResultsTaken() {
    static const std::string answer = w::RowDescription({{"a_column", 25, -1}, {"b", 23, 4}}) +
                                      w::DataRow({std::string("first row value"), std::string("1")}) +
                                      w::DataRow({std::nullopt, std::string("2")}) + w::CommandComplete("SELECT 2") +
                                      w::ReadyForQuery();
    ConnPtr conn;
    try {
        conn = MakeDetachedRecord();
        FeedInput(conn.get(), answer);
    } catch (const std::runtime_error&) {
        return false;
    }
    conn->asyncStatus = PGASYNC_BUSY;
    conn->queryclass = PGQUERY_SIMPLE;
    int rows = 0;
    bool failed = false;
    for (pqParseInput3(conn.get()); conn->asyncStatus == PGASYNC_READY; pqParseInput3(conn.get())) {
        const ResultPtr result(pqPrepareAsyncResult(conn.get()));
        conn->asyncStatus = PGASYNC_BUSY;
        if (!result)
            return false;
        failed |= PQresultStatus(result.get()) == PGRES_FATAL_ERROR;
        rows += PQntuples(result.get());
    }
    return !failed && conn->status == CONNECTION_OK && rows == 2;
}

TEST(AllocationFailure, EveryLostAllocationIsReportedAndNothingLeaks) {
    const struct {
        const char* name;
        std::function<bool()> call;
    } cases[] = {
        {"error texts", ErrorWithTexts},
        {"parameters", ParametersSetAndCopied},
        {"table definition", TableDefinitionBuiltAndCopied},
        {"conninfo string", [] { return ConninfoParsed("host=/tmp port=5433 dbname='a b' user=someone"); }},
        {"conninfo URI", [] { return ConninfoParsed("postgresql://someone:pw@localhost:5433/db?connect_timeout=3"); }},
        {"scripted results", ScriptedResultsTaken}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(c.call()) << "fails even with memory to spare";
        for (long n = 0;; ++n) {
            tArmed = true;
            tBeforeFailure = n;
            tFailed = false;
            tLive = 0;
            const bool succeeded = c.call();
            tArmed = false;
            memset(gSlots, 0, sizeof gSlots);
            if (tLive != 0) {
                ADD_FAILURE() << tLive << " allocations left behind when allocation " << n << " failed";
                break;
            }
            if (!tFailed) {
                EXPECT_TRUE(succeeded);
                EXPECT_GT(n, 2) << "the call allocates almost nothing: the wrapping did not take";
                break;
            }
            if (succeeded) {
                ADD_FAILURE() << "allocation " << n << " failed unreported";
                break;
            }
        }
    }
}

}  // namespace
