// A kelvod instance started through the library (kelvo_instance_create) and shared by a whole test suite: no TCP port,
// its logs in a private temporary directory that is removed when the instance stops.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kelvo/kelvo.h"

namespace kelvotest {

struct ConnectionCloser {
    void operator()(kelvo_connection_t* c) const { kelvo_disconnect(c); }
};
using ConnectionPtr = std::unique_ptr<kelvo_connection_t, ConnectionCloser>;

// Every value of column `column` across all chunks, or with `column` -1 every
// row's fields joined by '|'; read as texts (text format) or as little-endian int32 printed in decimal (binary format).
// A failure ends the list with "error " and its text.
std::vector<std::string> Column(kelvo_connection_t* conn, const char* query, int column, bool text);

class LibraryInstance {
public:
    // Starts the server found in `serverDir` with further instance parameters
    // (name, value); a failing step is reported as a test failure and leaves Get() null, so each test can refuse to
    // run.
    void Start(const char* serverDir, const std::vector<std::pair<std::string, std::string>>& parameters = {});
    // SIGKILLs the server's process group, as a crash would end it.
    void Kill();
    // Closes the instance and removes its directory; safe when never started.
    void Stop();

    // A connection to the server, or null when connecting failed (the error
    // goes unreported: a test may make it fail); `dbname` empty leaves the
    // default.
    ConnectionPtr Connect(const std::string& dbname = "", kelvo_create_mode_t mode = KELVO_DO_NOT_CREATE) const;

    kelvo_instance_t* Get() const { return m_instance; }
    const std::string& Directory() const { return m_dir; }

private:
    kelvo_instance_t* m_instance = nullptr;
    std::string m_dir;
};

}  // namespace kelvotest
