// Reading N rows x 3 columns (default 20 M: BIGINT, BIGINT, VARCHAR) from
// kelvod through the library, prefetch off and on, against the system's
// libpq reading the same statement from the same server in single-row mode
// with the library's own connection settings (so it asks for the same result
// format and gets the same bytes). Client CPU is the whole process's: the
// library's prefetch and event-loop threads count, the server does not.
// Usage: kelvod_read_bench [rows] [rounds] [only: libpq|off|on]
// (`only` runs that one contender, for perf stat and perf record.)
#include <sys/resource.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "error/error.h"
#include "instance/parameters.h"
#include "instance/pq_params.h"
#include "kelvo/kelvo.h"
#include "libpq_anchor.h"
#include "side_by_side.h"
#include "support/kelvod_server.h"

namespace {

using namespace kelvobench;

void Check(kelvo_error_t* error) {
    if (error == nullptr)
        return;
    const std::string text = kelvoapi::ToString(*static_cast<kelvoapi::Error*>(error));
    kelvo_error_destroy(error);
    throw std::runtime_error(text);
}

int64_t ReadThroughLibrary(kelvo_connection_t* conn, const std::string& sql) {
    kelvo_rowset_t* rowset = nullptr;
    Check(kelvo_execute_query(conn, sql.c_str(), &rowset));
    int64_t rows = 0;
    uint64_t checksum = 0;
    for (;;) {
        kelvo_rowset_chunk_t* chunk = nullptr;
        kelvo_error_t* error = kelvo_rowset_get_next_chunk(rowset, &chunk);
        if (error != nullptr) {
            kelvo_close_rowset(rowset);
            Check(error);
        }
        if (chunk == nullptr)
            break;
        size_t cols = 0, count = 0;
        const uint8_t* const* values = nullptr;
        const size_t* sizes = nullptr;
        const int8_t* nulls = nullptr;
        Check(kelvo_rowset_chunk_field_values(chunk, &cols, &count, &values, &sizes, &nulls));
        for (size_t i = 0; i < cols * count; ++i)
            checksum += sizes[i];
        rows += static_cast<int64_t>(count);
        kelvo_destroy_rowset_chunk(chunk);
    }
    kelvo_close_rowset(rowset);
    if (checksum == 0)
        throw std::runtime_error("no field bytes read");
    return rows;
}

}  // namespace

int main(int argc, char** argv) try {
    const long rows = ArgOr(argc, argv, 1, 20000000);
    const int rounds = static_cast<int>(ArgOr(argc, argv, 2, 5));
    const std::string sql = "SELECT i AS a, i * 2 AS b, 'row ' || i AS c FROM range(" + std::to_string(rows) + ") t(i)";

    const std::string dir = kelvotest::MakeTempDirectory();
    kelvo_parameters_t* parameters = nullptr;
    kelvo_instance_t* instance = nullptr;
    Check(kelvo_create_instance_parameters(&parameters, true));
    Check(kelvo_parameters_set(parameters, "use_tcp_port", "off"));
    Check(kelvo_parameters_set(parameters, "log_dir", dir.c_str()));
    Check(kelvo_instance_create(KELVO_SERVER_DIR, KELVO_DISABLE_TELEMETRY, parameters, &instance));
    kelvo_parameters_destroy(parameters);
    Check(kelvo_create_connection_parameters(instance, &parameters));
    kelvo_connection_t* prefetching = nullptr;
    kelvo_connection_t* direct = nullptr;
    Check(kelvo_connect(parameters, &prefetching, KELVO_DO_NOT_CREATE));
    Check(kelvo_connect(parameters, &direct, KELVO_DO_NOT_CREATE));
    kelvo_set_prefetch_threshold(direct, 0);

    // The anchor logs in with the library's settings, keeping only the
    // keywords libpq knows.
    const kelvoapi::PQParams converted =
        kelvoapi::ConvertToPQParams(*static_cast<const kelvoapi::Parameters*>(parameters));
    kelvo_parameters_destroy(parameters);
    const std::set<std::string> known{"host", "port", "user", "dbname", "options", "password"};
    std::vector<const char*> keywords, values;
    for (size_t i = 0; converted.GetKeywords()[i] != nullptr; ++i) {
        if (known.count(converted.GetKeywords()[i]) == 0)
            continue;
        keywords.push_back(converted.GetKeywords()[i]);
        values.push_back(converted.GetValues()[i]);
    }
    keywords.push_back(nullptr);
    values.push_back(nullptr);
    LibpqConnection anchor(keywords.data(), values.data());

    auto expect = [&](int64_t got) {
        if (got != rows)
            throw std::runtime_error("read " + std::to_string(got) + " rows");
    };
    std::vector<Contender> contenders{
        {"libpq single-row mode", [&] { expect(anchor.ReadSingleRows(sql.c_str())); }, {}},
        {"library, prefetch off", [&] { expect(ReadThroughLibrary(direct, sql)); }, {}},
        {"library, prefetch on", [&] { expect(ReadThroughLibrary(prefetching, sql)); }, {}},
    };
    if (argc > 3) {
        const std::string only = argv[3];
        const size_t which = only == "libpq" ? 0 : only == "off" ? 1 : only == "on" ? 2 : 3;
        if (which > 2)
            throw std::runtime_error("only libpq, off or on: " + only);
        contenders[which].run();
        rusage before, after;
        getrusage(RUSAGE_SELF, &before);
        for (int round = 0; round < rounds; ++round)
            contenders[which].samples.push_back(Measure(contenders[which].run));
        getrusage(RUSAGE_SELF, &after);
        const double n = rounds;
        std::printf("%s, a round: cpu %.1f ms, wall %.1f ms, context switches %.0f, page faults %.0f\n",
                    contenders[which].name.c_str(), MedianOf(contenders[which], false) * 1e3,
                    MedianOf(contenders[which], true) * 1e3,
                    static_cast<double>(after.ru_nvcsw + after.ru_nivcsw - before.ru_nvcsw - before.ru_nivcsw) / n,
                    static_cast<double>(after.ru_minflt - before.ru_minflt) / n);
        return 0;
    }
    const std::string title = std::to_string(rows) + " rows x 3 columns from kelvod";
    RunSideBySide(title.c_str(), contenders, rounds);
    // Prefetch on against off, CPU and wall, from the same samples.
    std::vector<Contender> pair{contenders[1], contenders[2]};
    auto print = [&](bool wall) {
        std::vector<double> off, on;
        for (const Sample& s : pair[0].samples)
            off.push_back(wall ? s.wallSeconds : s.cpuSeconds);
        for (const Sample& s : pair[1].samples)
            on.push_back(wall ? s.wallSeconds : s.cpuSeconds);
        std::printf("  prefetch on / off: %s %.2fx\n", wall ? "wall" : "cpu", Median(on) / Median(off));
    };
    print(false);
    print(true);

    kelvo_disconnect(direct);
    kelvo_disconnect(prefetching);
    kelvo_instance_close(instance);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return 0;
} catch (const std::exception& e) {
    std::fprintf(stderr, "kelvod_read_bench: %s\n", e.what());
    return 1;
}
