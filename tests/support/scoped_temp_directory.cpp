#include "scoped_temp_directory.h"

#include <stdlib.h>

#include <stdexcept>
#include <string>
#include <system_error>

namespace kelvotest {

ScopedTempDirectory::ScopedTempDirectory() {
    std::string pattern = "/tmp/kelvo-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

ScopedTempDirectory::~ScopedTempDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

}  // namespace kelvotest
