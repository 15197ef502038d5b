#include "support/library_instance.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <system_error>
#include <utility>

#include "error/error.h"
#include "instance/instance.h"
#include "support/error_ptr.h"
#include "support/kelvod_server.h"

namespace kelvotest {
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

ConnectionPtr LibraryInstance::Connect(const std::string& dbname, kelvo_create_mode_t mode) const {
    kelvo_parameters_t* parameters = nullptr;
    EXPECT_EQ("", TextOf(kelvo_create_connection_parameters(m_instance, &parameters)));
    if (!dbname.empty()) {
        EXPECT_EQ("", TextOf(kelvo_parameters_set(parameters, "dbname", dbname.c_str())));
    }
    kelvo_connection_t* conn = nullptr;
    const ErrorPtr error(kelvo_connect(parameters, &conn, mode));
    kelvo_parameters_destroy(parameters);
    EXPECT_TRUE(error == nullptr || conn == nullptr);
    return ConnectionPtr(conn);
}

std::vector<std::string> Column(kelvo_connection_t* conn, const char* query, int column, bool text) {
    kelvo_rowset_t* rowset = nullptr;
    const std::string failed =
        TextOf(text ? kelvo_execute_query_params(conn, query, KELVO_ROWSET_RESULT_FORMAT_TEXT, &rowset)
                    : kelvo_execute_query(conn, query, &rowset));
    if (rowset == nullptr)
        return {"error " + failed};
    const kelvo_table_definition_t* definition = kelvo_rowset_get_table_definition(rowset);
    const int columns = column >= 0 ? 1 : static_cast<int>(kelvo_table_definition_column_count(definition));
    std::vector<std::string> out;
    for (kelvo_rowset_chunk_t* chunk = nullptr;; kelvo_destroy_rowset_chunk(std::exchange(chunk, nullptr))) {
        const std::string error = TextOf(kelvo_rowset_get_next_chunk(rowset, &chunk));
        if (!error.empty())
            out.push_back("error " + error);
        if (chunk == nullptr)
            break;
        for (uint32_t r = 0; r < kelvo_rowset_chunk_row_count(chunk); ++r) {
            std::string row;
            for (int c = 0; c < columns; ++c) {
                const kelvo_value_t v = kelvo_rowset_chunk_field_value(chunk, r, column >= 0 ? column : c);
                row += c != 0 ? "|" : "";
                row += v.value == nullptr    ? "<null>"
                       : text || v.size != 4 ? std::string(reinterpret_cast<const char*>(v.value), v.size)
                                             : std::to_string(kelvo_read_int32(v.value));
            }
            out.push_back(row);
        }
    }
    kelvo_close_rowset(rowset);
    return out;
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
