// Adding rows of the 10-column mixed table cell by cell through libkelvo.so's
// exported kelvo_inserter_buffer_add_* (each call through the PLT), against
// the same loop calling empty functions of the same signatures that another
// shared library exports. The buffer belongs to an inserter on the stand-in
// server; each buffer takes rows short of its first full chunk and is then
// destroyed unsent, so only the adds are timed, never a send.
//
//   shared_adds_bench [rows per buffer=100000] [buffers per round=20] [rounds=9]
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "empty_adds.h"
#include "kelvo/kelvo.h"

namespace {

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "shared_adds_bench: %s\n", what.c_str());
    std::exit(1);
}

void Check(kelvo_error_t* e, const char* what) {
    if (e == nullptr)
        return;
    kelvo_error_field_value message{};
    const bool known = kelvo_error_get_field(e, KELVO_ERROR_FIELD_MESSAGE, &message) == nullptr;
    const std::string text = std::string(what) + ": " + (known ? message.value.string : "(no message)");
    kelvo_error_destroy(e);
    Fail(text);
}

// The loop of both sides, as the load benchmarks add a mixed row: one call a
// cell, each result tested. `Adds` forwards to one side's exported functions.
template <typename Adds>
kelvo_error_t* AddRow(kelvo_inserter_buffer_t* b, int64_t id) {
    static const char name[] = "customer-000042";
    static const char note[] = "a note of some forty bytes, give or take";
    static const uint8_t blob[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    kelvo_error_t* e = Adds::Int64(b, id);
    if (!e)
        e = Adds::Int32(b, static_cast<int32_t>(id));
    if (!e)
        e = Adds::Int16(b, static_cast<int16_t>(id));
    if (!e)
        e = Adds::Bool(b, (id & 1) != 0);
    if (!e)
        e = Adds::Double(b, static_cast<double>(id) * 0.25);
    if (!e)
        e = Adds::Date(b, 2024, static_cast<int16_t>(1 + id % 12), 1);
    if (!e)
        e = Adds::Binary(b, reinterpret_cast<const uint8_t*>(name), sizeof name - 1);
    if (!e)
        e = Adds::Binary(b, reinterpret_cast<const uint8_t*>(note), sizeof note - 1);
    if (!e)
        e = Adds::Binary(b, blob, sizeof blob);
    if (!e)
        e = (id & 1) != 0 ? Adds::Null(b) : Adds::Int32(b, static_cast<int32_t>(id));
    return e;
}

struct LibraryAdds {
    static kelvo_error_t* Null(kelvo_inserter_buffer_t* b) { return kelvo_inserter_buffer_add_null(b); }
    static kelvo_error_t* Bool(kelvo_inserter_buffer_t* b, bool v) { return kelvo_inserter_buffer_add_bool(b, v); }
    static kelvo_error_t* Int16(kelvo_inserter_buffer_t* b, int16_t v) { return kelvo_inserter_buffer_add_int16(b, v); }
    static kelvo_error_t* Int32(kelvo_inserter_buffer_t* b, int32_t v) { return kelvo_inserter_buffer_add_int32(b, v); }
    static kelvo_error_t* Int64(kelvo_inserter_buffer_t* b, int64_t v) { return kelvo_inserter_buffer_add_int64(b, v); }
    static kelvo_error_t* Double(kelvo_inserter_buffer_t* b, double v) {
        return kelvo_inserter_buffer_add_double(b, v);
    }
    static kelvo_error_t* Binary(kelvo_inserter_buffer_t* b, const uint8_t* v, size_t n) {
        return kelvo_inserter_buffer_add_binary(b, v, n);
    }
    static kelvo_error_t* Date(kelvo_inserter_buffer_t* b, int32_t y, int16_t m, int16_t d) {
        return kelvo_inserter_buffer_add_date(b, y, m, d);
    }
};

struct EmptyAdds {
    static kelvo_error_t* Null(kelvo_inserter_buffer_t* b) { return empty_add_null(b); }
    static kelvo_error_t* Bool(kelvo_inserter_buffer_t* b, bool v) { return empty_add_bool(b, v); }
    static kelvo_error_t* Int16(kelvo_inserter_buffer_t* b, int16_t v) { return empty_add_int16(b, v); }
    static kelvo_error_t* Int32(kelvo_inserter_buffer_t* b, int32_t v) { return empty_add_int32(b, v); }
    static kelvo_error_t* Int64(kelvo_inserter_buffer_t* b, int64_t v) { return empty_add_int64(b, v); }
    static kelvo_error_t* Double(kelvo_inserter_buffer_t* b, double v) { return empty_add_double(b, v); }
    static kelvo_error_t* Binary(kelvo_inserter_buffer_t* b, const uint8_t* v, size_t n) {
        return empty_add_binary(b, v, n);
    }
    static kelvo_error_t* Date(kelvo_inserter_buffer_t* b, int32_t y, int16_t m, int16_t d) {
        return empty_add_date(b, y, m, d);
    }
};

double Clock(clockid_t clock) {
    timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

long PageFaults() {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt + usage.ru_majflt;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v.size() % 2 != 0 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

struct Side {
    const char* name;
    std::vector<double> wall, cpu;
    long faults = 0;
};

// One round of one side: `buffers` fresh buffers of `rows` rows each; the
// adds alone are timed, on this thread's CPU clock and on the wall clock.
template <typename Adds>
void Round(Side& side, kelvo_inserter_t* inserter, const kelvo_table_definition_t* definition, long rows,
           long buffers) {
    double wall = 0, cpu = 0;
    for (long n = 0; n < buffers; ++n) {
        kelvo_inserter_buffer_t* buffer = nullptr;
        Check(kelvo_create_inserter_buffer(inserter, definition, "*", &buffer), "buffer");
        const long faults = PageFaults();
        const double wall0 = Clock(CLOCK_MONOTONIC), cpu0 = Clock(CLOCK_THREAD_CPUTIME_ID);
        for (long id = 0; id < rows; ++id)
            Check(AddRow<Adds>(buffer, id), "add");
        cpu += Clock(CLOCK_THREAD_CPUTIME_ID) - cpu0;
        wall += Clock(CLOCK_MONOTONIC) - wall0;
        side.faults += PageFaults() - faults;
        kelvo_inserter_buffer_destroy(buffer);
    }
    side.wall.push_back(wall);
    side.cpu.push_back(cpu);
}

}  // namespace

int main(int argc, char** argv) {
    auto arg = [&](int i, long fallback) { return argc > i ? std::strtol(argv[i], nullptr, 10) : fallback; };
    const long rows = arg(1, 100000), buffers = arg(2, 20), rounds = arg(3, 9);
    // About 107 bytes a row: more than ~150 000 rows would fill a chunk and send it.
    if (rows <= 0 || rows > 140000 || buffers <= 0 || rounds <= 0)
        Fail("rows per buffer 1 to 140000, buffers and rounds above 0");

    char dir[] = "/tmp/shared_adds_bench.XXXXXX";
    if (mkdtemp(dir) == nullptr)
        Fail("no scratch directory");
    kelvo_parameters_t* parameters = nullptr;
    kelvo_instance_t* instance = nullptr;
    kelvo_connection_t* conn = nullptr;
    Check(kelvo_create_instance_parameters(&parameters, true), "instance parameters");
    Check(kelvo_parameters_set(parameters, "use_tcp_port", "off"), "use_tcp_port");
    Check(kelvo_parameters_set(parameters, "log_dir", dir), "log_dir");
    Check(kelvo_instance_create(KELVO_SERVER_DIR, KELVO_DISABLE_TELEMETRY, parameters, &instance), "start");
    kelvo_parameters_destroy(parameters);
    Check(kelvo_create_connection_parameters(instance, &parameters), "connection parameters");
    const std::string db = std::string(dir) + "/bench.kelvo";
    Check(kelvo_parameters_set(parameters, "dbname", db.c_str()), "dbname");
    Check(kelvo_connect(parameters, &conn, KELVO_CREATE_AND_REPLACE), "connect");
    kelvo_parameters_destroy(parameters);
    Check(kelvo_execute_command(conn,
                                "CREATE TABLE mixed (id BIGINT NOT NULL, i INT, s SMALLINT, f BOOLEAN, d DOUBLE "
                                "PRECISION, dt DATE, name TEXT, note TEXT, blob BYTEA, opt INT)",
                                nullptr),
          "create table");

    kelvo_table_definition_t* definition = kelvo_create_table_definition("", "", "mixed", KELVO_PERMANENT, false);
    if (definition == nullptr)
        Fail("table definition");
    const struct {
        const char* name;
        kelvo_type_tag_t tag;
        bool nullable;
    } columns[] = {{"id", KELVO_BIG_INT, false}, {"i", KELVO_INT, true},     {"s", KELVO_SMALL_INT, true},
                   {"f", KELVO_BOOL, true},      {"d", KELVO_DOUBLE, true},  {"dt", KELVO_DATE, true},
                   {"name", KELVO_TEXT, true},   {"note", KELVO_TEXT, true}, {"blob", KELVO_BYTE_A, true},
                   {"opt", KELVO_INT, true}};
    for (const auto& c : columns)
        Check(kelvo_table_definition_add_column(definition, c.name, c.tag, 0, nullptr, c.nullable), "column");
    kelvo_inserter_t* inserter = nullptr;
    Check(kelvo_create_inserter(conn, definition, &inserter), "inserter");

    Side library{"kelvo_inserter_buffer_add_* (libkelvo.so)", {}, {}};
    Side empty{"empty exported functions", {}, {}};
    // A warm-up round each, not counted.
    Round<LibraryAdds>(library, inserter, definition, rows, buffers);
    Round<EmptyAdds>(empty, inserter, definition, rows, buffers);
    library = Side{library.name, {}, {}};
    empty = Side{empty.name, {}, {}};
    std::vector<double> ratios;
    for (long round = 0; round < rounds; ++round) {
        if (round % 2 == 0) {
            Round<EmptyAdds>(empty, inserter, definition, rows, buffers);
            Round<LibraryAdds>(library, inserter, definition, rows, buffers);
        } else {
            Round<LibraryAdds>(library, inserter, definition, rows, buffers);
            Round<EmptyAdds>(empty, inserter, definition, rows, buffers);
        }
        ratios.push_back(library.cpu.back() / empty.cpu.back());
    }
    Check(kelvo_close_inserter(inserter, false), "close inserter");
    kelvo_destroy_table_definition(definition);
    kelvo_disconnect(conn);
    kelvo_instance_close(instance);
    const std::string remove = std::string("rm -rf ") + dir;
    if (std::system(remove.c_str()) != 0)
        std::fprintf(stderr, "shared_adds_bench: %s left behind\n", dir);

    const double cells = static_cast<double>(rows) * static_cast<double>(buffers) * 10;
    std::printf("%.0f cells a round (%ld buffers of %ld rows x 10 columns), medians of %ld rounds\n", cells, buffers,
                rows, rounds);
    for (const Side* s : {&empty, &library})
        std::printf("  %-44s cpu %7.1f ms (%.2f ns a cell)  wall %7.1f ms  page faults a round %ld\n", s->name,
                    Median(s->cpu) * 1e3, Median(s->cpu) / cells * 1e9, Median(s->wall) * 1e3, s->faults / rounds);
    std::printf("  ratio library / empty: cpu %.2fx (rounds %.2fx to %.2fx), wall %.2fx\n",
                Median(library.cpu) / Median(empty.cpu), *std::min_element(ratios.begin(), ratios.end()),
                *std::max_element(ratios.begin(), ratios.end()), Median(library.wall) / Median(empty.wall));
    return 0;
}
