// A kelvod instance started through the library (kelvo_instance_create) and
// shared by a whole test suite: no TCP port, its logs in a private temporary
// directory that is removed when the instance stops.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "kelvo/kelvo.h"

namespace kelvotest {

class LibraryInstance {
public:
    // Starts the server found in `serverDir`; a failing step is reported as a
    // test failure and leaves Get() null, so each test can refuse to run.
    void Start(const char* serverDir);
    // The same with further instance parameters (name, value).
    void Start(const char* serverDir, const std::vector<std::pair<std::string, std::string>>& parameters);
    // SIGKILLs the server's process group, as a crash would end it.
    void Kill();
    // Closes the instance and removes its directory; safe when never started.
    void Stop();

    kelvo_instance_t* Get() const { return m_instance; }
    const std::string& Directory() const { return m_dir; }

private:
    kelvo_instance_t* m_instance = nullptr;
    std::string m_dir;
};

}  // namespace kelvotest
