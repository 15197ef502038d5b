// psql and psycopg2 (Debian's postgresql-client-15 and python3-psycopg2, which
// the set-up script installs) against a started kelvod: the values, errors and
// transactions that such clients rely on, and a short mixed load.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "support/kelvod_server.h"

namespace {

class RealClients : public kelvotest::KelvodSuite {
protected:
    // The socket directory and port a PostgreSQL client takes for the server's endpoint.
    static std::string Port() { return server->Endpoint().substr(server->Endpoint().rfind('.') + 1); }
    static std::string Environment() {
        return "PGHOST='" + server->Directory() + "' PGPORT=" + Port() +
               " PGDATABASE=:main PGUSER=kelvo PGCONNECT_TIMEOUT=10 PGCLIENTENCODING=UTF8 ";
    }
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
    // psql reading `script` from its standard input, unaligned and without headers,
    // with errors shown as their SQLSTATE.
    static std::string Psql(const std::string& script) {
        std::string file = server->Directory() + "/script.sql";
        std::ofstream(file) << script;
        auto [out, status] = Run(Environment() + "psql -X -A -t -v VERBOSITY=sqlstate < '" + file + "'");
        EXPECT_EQ(status, 0) << out;
        return out;
    }
};

}  // namespace

TEST_F(RealClients, PsqlSeesValuesTagsAndErrorsAsFromPostgreSQL) {
    struct {
        const char* script;
        std::vector<const char*> expected;  // in this order in the output
    } cases[] = {
        {"SELECT '\\xdeadbeef'::bytea, octet_length('\\xdeadbeef'::bytea), 7 / 2;", {"\\xdeadbeef|4|3"}},
        {"CREATE TABLE r (v INT, n NUMERIC);\nINSERT INTO r VALUES (5, 1.23456) RETURNING v * 2, n;\n",
         {"10|1.2345600000", "INSERT 0 1"}},
        {"CREATE TABLE p (v INT);\nBEGIN;\nINSERT INTO p VALUES (1);\nSELECT nope FROM p;\nINSERT INTO p VALUES "
         "(2);\nCOMMIT;\nSELECT count(*) FROM p;\n",
         {"BEGIN", "INSERT 0 1", "42703", "25P02", "ROLLBACK", "\n0\n"}},
        {"SELECT 'caf\xC3';\nSELECT E'a'E'b';\nSET no_such_parameter = 1;\nDEALLOCATE nope;\n",
         {"22021", "42601", "42704", "26000"}},
        {"SELECT * FROM read_text('/etc/hostname');\nCOPY (SELECT 1) TO '/tmp/kelvo-copy-x';\nEXPORT DATABASE "
         "'/tmp/kelvo-export-x';\n",
         {"42501", "0A000", "42501"}},
        {"COPY (SELECT 1, 'a\tb') TO STDOUT;\nCOPY (SELECT 1) TO STDOUT WITH (FORMAT binary, DELIMITER ',');\n",
         {"1\ta\\tb", "0A000"}},
    };
    for (const auto& c : cases) {
        std::string out = Psql(c.script);
        size_t at = 0;
        for (const char* e : c.expected) {
            size_t found = out.find(e, at);
            EXPECT_NE(found, std::string::npos) << "\"" << e << "\" in:\n" << out;
            if (found != std::string::npos)
                at = found + 1;
        }
    }
}

TEST_F(RealClients, Psycopg2CasesAndAMixedLoadOfEightConnections) {
    auto [out, status] = Run("/usr/bin/python3 '" KELVO_SOURCE_DIR "/tests/clients/psycopg2_cases.py' '" +
                             server->Directory() + "' " + Port());
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("psycopg2 cases passed"), std::string::npos) << out;
}
