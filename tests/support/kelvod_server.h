// Starts the kelvod server as the library does (its command line, a callback listener that reads the one-byte-length
// message) and stops it by closing the callback connection. Each server gets a private temporary directory.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "support/wire_client.h"

namespace kelvotest {

class KelvodServer {
public:
    struct Options {
        bool tcp = false;
        std::vector<std::string> extraArguments;  // before the endpoint arguments
        bool brokenOutput = false;                // standard output and error: a pipe nobody reads
    };
    KelvodServer();
    ~KelvodServer();
    KelvodServer(const KelvodServer&) = delete;
    KelvodServer& operator=(const KelvodServer&) = delete;

    // False when the server does not call back within 20 s.
    bool Start(const Options& options);
    bool Start() { return Start(Options{}); }
    const std::string& Endpoint() const { return m_endpoint; }
    const std::string& Directory() const { return m_dir; }
    pid_t Pid() const { return m_pid; }
    std::string MainDatabase() const { return m_dir + "/main.kelvo"; }
    // Closes the callback connection and waits up to `timeoutMs` for the exit;
    // returns the exit code, or nullopt when the server had to be killed.
    std::optional<int> Stop(int timeoutMs = 5000);
    std::string Output() const;  // what the server wrote to standard error

    // Runs kelvod with the given arguments (no callback) and returns its exit code.
    static int RunWithArguments(const std::vector<std::string>& args, int timeoutMs = 10000);

private:
    std::string m_dir;
    std::string m_endpoint;
    pid_t m_pid = -1;
    int m_callbackFd = -1;
};

// One server for all the tests of a suite; it must stop cleanly at the end.
class KelvodSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    static KelvodServer* server;
};

// A server suite whose every test holds two sessions on the main database: one asking for text results, one for binary.
class KelvodFormatsSuite : public KelvodSuite {
protected:
    void SetUp() override;
    WireClient m_text, m_binary;
};

// A fresh temporary directory, removed by the caller.
std::string MakeTempDirectory();

}  // namespace kelvotest
