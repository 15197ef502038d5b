// Close road: the time kelvo_instance_close takes for a server that served
// one connection, against the time kelvo_instance_create took to start it
// (both as the caller sees them). The goal is a close of at most 30 ms.
//
//   close_side_by_side [rounds=10]
#include "side_by_side.h"

int main(int argc, char** argv) {
    using sidebyside::Check;
    const int rounds = static_cast<int>(sidebyside::ArgOr(argc, argv, 1, 10));
    const std::string dir = kelvotest::MakeTempDirectory();
    std::vector<double> starts, closes;
    for (int round = 0; round < rounds; ++round) {
        kelvo_parameters_t* parameters = nullptr;
        kelvo_instance_t* instance = nullptr;
        Check(kelvo_create_instance_parameters(&parameters, true), "instance parameters");
        Check(kelvo_parameters_set(parameters, "use_tcp_port", "off"), "use_tcp_port");
        Check(kelvo_parameters_set(parameters, "log_dir", dir.c_str()), "log_dir");
        starts.push_back(sidebyside::Seconds([&] {
            Check(kelvo_instance_create(KELVO_SERVER_DIR, KELVO_DISABLE_TELEMETRY, parameters, &instance), "start");
        }));
        kelvo_parameters_destroy(parameters);
        kelvo_connection_t* conn = nullptr;
        Check(kelvo_create_connection_parameters(instance, &parameters), "connection parameters");
        const std::string db = dir + "/close.kelvo";
        Check(kelvo_parameters_set(parameters, "dbname", db.c_str()), "dbname");
        Check(kelvo_connect(parameters, &conn, KELVO_CREATE_AND_REPLACE), "connect");
        kelvo_parameters_destroy(parameters);
        Check(kelvo_execute_command(conn, "CREATE TABLE t (a INT)", nullptr), "create");
        kelvo_disconnect(conn);
        closes.push_back(sidebyside::Seconds([&] { kelvo_instance_close(instance); }));
        std::printf("round %d: create %.1f ms, close %.1f ms\n", round + 1, starts.back() * 1e3, closes.back() * 1e3);
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    const double close = sidebyside::Median(closes);
    std::printf(
        "\nkelvo_instance_close, median of %d rounds: %.1f ms (goal <= 30 ms; start took %.1f ms, "
        "close/start %.2f)\n",
        rounds, close * 1e3, sidebyside::Median(starts) * 1e3, close / sidebyside::Median(starts));
    return 0;
}
