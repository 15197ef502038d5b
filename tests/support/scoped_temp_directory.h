// A fresh directory under /tmp for one test, removed with everything in it
// when the object goes.
#pragma once

#include <filesystem>

namespace kelvotest {

class ScopedTempDirectory {
public:
    ScopedTempDirectory();
    ScopedTempDirectory(const ScopedTempDirectory&) = delete;
    ScopedTempDirectory& operator=(const ScopedTempDirectory&) = delete;
    ~ScopedTempDirectory();

    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

}  // namespace kelvotest
