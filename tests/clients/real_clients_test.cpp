// psycopg2 (Debian's python3-psycopg2, which the set-up script installs)
// against a started kelvod: the values, errors and transactions that such
// clients rely on, and a short mixed load.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "support/kelvod_server.h"

namespace {

class RealClients : public kelvotest::KelvodSuite {
protected:
    // The socket directory and port a PostgreSQL client takes for the server's endpoint.
    static std::string Port() { return server->Endpoint().substr(server->Endpoint().rfind('.') + 1); }
    // Runs `command` with its standard error joined to its output; returns the output and the exit status.
    static std::pair<std::string, int> Run(const std::string& command) {
        std::string out;
        FILE* p = ::popen((command + " 2>&1").c_str(), "r");
        if (!p)
            return {"popen failed", -1};
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
        int status = ::pclose(p);
        return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
    }
};

}  // namespace

TEST_F(RealClients, Psycopg2CasesAndAMixedLoadOfEightConnections) {
    auto [out, status] = Run("/usr/bin/python3 '" KELVO_SOURCE_DIR "/tests/clients/psycopg2_cases.py' '" +
                             server->Directory() + "' " + Port());
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("psycopg2 cases passed"), std::string::npos) << out;
}
