// Pinging real servers: the shared PostgreSQL peer (up, whatever it thinks
// of the credentials), a standby that refuses every connection, a port with
// no listener, and options that never allow an attempt.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "postgres/libpq/ping.h"
#include "support/postgres_cluster.h"
#include "support/standby_server.h"

namespace {

using kelvotest::PostgresCluster;

struct Option {
    const char* keyword;
    std::string value;
};

PGPing Ping(const std::vector<Option>& options) {
    std::vector<const char*> keywords;
    std::vector<const char*> values;
    for (const Option& o : options) {
        keywords.push_back(o.keyword);
        values.push_back(o.value.c_str());
    }
    keywords.push_back(nullptr);
    values.push_back(nullptr);
    return PQpingParams(keywords.data(), values.data(), 0);
}

TEST(PingTest, ReportsWhetherAServerIsThereAndAccepting) {
    const PostgresCluster& cluster = PostgresCluster::Shared();
    kelvotest::StandbyServer standby;
    const std::string socketDir = cluster.SocketDir();
    const std::string port = cluster.PortText();
    const std::string closedPort = std::to_string(kelvotest::FindFreeTcpPort());

    struct Case {
        const char* name;
        std::vector<Option> options;
        PGPing expected;
    };
    const Case cases[] = {
        {"trusted user", {{"host", socketDir}, {"port", port}, {"user", PostgresCluster::kAdminUser}}, PQPING_OK},
        // The server asked for a password: it is up.
        // Refusing an unknown role is an answer too.
        {"unknown role", {{"host", socketDir}, {"port", port}, {"user", "nobody_here"}}, PQPING_OK},
        {"standby without hot standby",
         {{"host", standby.SocketDir()}, {"port", std::to_string(standby.Port())}, {"user", "kelvo_admin"}},
         PQPING_REJECT},
        {"closed TCP port", {{"host", "127.0.0.1"}, {"port", closedPort}, {"user", "kelvo_admin"}}, PQPING_NO_RESPONSE},
        {"invalid option value", {{"host", socketDir}, {"port", port}, {"sslmode", "sometimes"}}, PQPING_NO_ATTEMPT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.expected, Ping(c.options));
    }

    // The connection-string form.
    EXPECT_EQ(PQPING_OK, PQping(("host=" + socketDir + " port=" + port + " user=kelvo_admin").c_str()));
    EXPECT_EQ(PQPING_NO_ATTEMPT, PQping("host='unterminated"));
}

}  // namespace
