#include "support/library_instance.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <system_error>

#include "error/error.h"
#include "instance/instance.h"
#include "support/error_ptr.h"
#include "support/kelvod_server.h"

namespace kelvotest {
void LibraryInstance::Start(const char* serverDir) { Start(serverDir, {}); }

void LibraryInstance::Kill() {
    if (m_instance != nullptr) {
        static_cast<kelvoapi::Instance*>(m_instance)->m_kelvoServerProcess->Kill();
    }
}

void LibraryInstance::Start(const char* serverDir,
                            const std::vector<std::pair<std::string, std::string>>& extraParameters) {
    m_dir = MakeTempDirectory();
    kelvo_parameters_t* parameters = nullptr;
    ASSERT_EQ("", TextOf(kelvo_create_instance_parameters(&parameters, true)));
    ASSERT_EQ("", TextOf(kelvo_parameters_set(parameters, "use_tcp_port", "off")));
    ASSERT_EQ("", TextOf(kelvo_parameters_set(parameters, "log_dir", m_dir.c_str())));
    for (const auto& [name, value] : extraParameters) {
        ASSERT_EQ("", TextOf(kelvo_parameters_set(parameters, name.c_str(), value.c_str()))) << name;
    }
    ASSERT_EQ("", TextOf(kelvo_instance_create(serverDir, KELVO_DISABLE_TELEMETRY, parameters, &m_instance)));
    kelvo_parameters_destroy(parameters);
}

void LibraryInstance::Stop() {
    kelvo_instance_close(m_instance);
    m_instance = nullptr;
    if (!m_dir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
        m_dir.clear();
    }
}

}  // namespace kelvotest
