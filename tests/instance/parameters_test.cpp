// Parameter sets: validation of names and values, the instance defaults with
// their random database name, the endpoint conversion, and the C entry points.
#include "instance/parameters.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "error/error.h"
#include "instance/random_string.h"
#include "kelvo/error.h"

namespace kelvoapi {
namespace {

struct RefusedEntry {
    const char* name;
    const char* value;
    const char* sqlstate;
    const char* message;
    uint32_t contextId;
};

TEST(ParametersTest, RefusesInvalidNamesAndValuesAndKeepsTheSet) {
    const RefusedEntry cases[] = {
        {"Date_style", "x", "42602",
         "Invalid parameter name: Date_style, capital letters are not allowed in parameter names.", 0xcab17a1b},
        {"date_stylE", "x", "42602",
         "Invalid parameter name: date_stylE, capital letters are not allowed in parameter names.", 0xcab17a1b},
        {"date-style", "x", "42602", "Invalid parameter name: date-style, minus '-' is not allowed in parameter names.",
         0xa753838f},
        // The minus check comes first.
        {"Date-Style", "x", "42602", "Invalid parameter name: Date-Style, minus '-' is not allowed in parameter names.",
         0xa753838f},
        {"log_config", "file", "22023", "Only the empty string is supported as value for the \"log_config\" parameter.",
         0xca4566},
        {"log_config", "file,json,all,kelvod,0 ", "22023",
         "Only the empty string is supported as value for the \"log_config\" parameter.", 0xca4566},
        {"endpoint", "localhost:80", "HY000",
         "Invalid connection string \"localhost:80\". The connection string must be of the form "
         "\"<scheme>://<rest>\".",
         0x53788},
        {"endpoint", "", "HY000",
         "Invalid connection string \"\". The connection string must be of the form \"<scheme>://<rest>\".", 0x53788},
        {"endpoint", "pel.tcp://h:70000", "HY000", "Port must not be greater than 65535", 0x53788},
        {"endpoint", "pel.domain:///tmp/x", "HY000",
         "Socket connection must be of form pel.domain://<host>/domain/<domainName>", 0x53788},
    };
    for (const RefusedEntry& c : cases) {
        SCOPED_TRACE(c.name + std::string("=") + c.value);
        Parameters parameters;
        parameters.Set("log_config", "");
        parameters.Set("endpoint", "pel.tcp://localhost:auto");
        const Parameters before = parameters;
        try {
            parameters.Set(c.name, c.value);
            ADD_FAILURE() << "accepted";
        } catch (const Error& e) {
            EXPECT_EQ(e.GetSqlstate(), c.sqlstate);
            EXPECT_EQ(e.GetMessage(), c.message);
            EXPECT_EQ(e.GetContextId().value, c.contextId);
        }
        EXPECT_EQ(std::vector(parameters.begin(), parameters.end()), std::vector(before.begin(), before.end()));
    }
}

TEST(ParametersTest, AcceptsAnyOtherNameAndKeepsEntriesInByteOrder) {
    Parameters parameters;
    const std::pair<const char*, const char*> entries[] = {
        {"ab", "1"},        {"a_b", "2"},      {"", "empty name"}, {"log_config", ""},
        {"x.y", "3"},       {"a b", "4"},      {"\xc3\x84", "5"},  {"log_config", "file,json,all,kelvod,0"},
        {"endpoint", "pel.tcp://localhost:auto"}, {"ab", "6"},
    };
    for (const auto& [name, value] : entries) parameters.Set(name, value);
    const std::vector<std::pair<const std::string, std::string>> expected{
        {"", "empty name"}, {"a b", "4"}, {"a_b", "2"},  {"ab", "6"},
        {"endpoint", "pel.tcp://localhost:auto"}, {"log_config", "file,json,all,kelvod,0"},
        {"x.y", "3"},       {"\xc3\x84", "5"},
    };
    EXPECT_EQ(std::vector(parameters.begin(), parameters.end()), expected);
}

TEST(ParametersTest, TellsAnAbsentEntryFromAnEmptyOne) {
    Parameters parameters;
    parameters.Set("empty", "");
    EXPECT_TRUE(parameters.ContainsKey("empty"));
    EXPECT_NE(parameters.Get("empty").data(), nullptr);
    EXPECT_TRUE(parameters.Get("empty").empty());
    EXPECT_FALSE(parameters.ContainsKey("absent"));
    EXPECT_EQ(parameters.Get("absent").data(), nullptr);
    parameters.Erase("empty");
    parameters.Erase("absent");
    EXPECT_FALSE(parameters.ContainsKey("empty"));
    EXPECT_EQ(parameters.begin(), parameters.end());
}

TEST(ParametersTest, InstanceDefaultsHoldTheTenEntries) {
    const InstanceParameters empty(false);
    EXPECT_EQ(empty.begin(), empty.end());

    const InstanceParameters parameters(true);
    const std::string database(parameters.Get("database"));
    const std::vector<std::pair<const std::string, std::string>> expected{
        {"auto_delete_database", "true"},
        {"database", database},
        {"date_style", "MDY"},
        {"date_style_lenient", "false"},
        {"init", "overwrite"},
        {"init_user", "pellory_internal_user"},
        {"language", "en_US"},
        {"log_config", "file,json,all,kelvod,0"},
        {"log_dir", std::filesystem::current_path().string()},
        {"no_password", "true"},
    };
    EXPECT_EQ(std::vector(parameters.begin(), parameters.end()), expected);

    const std::filesystem::path path(database);
    EXPECT_EQ(database, (std::filesystem::temp_directory_path() / path.filename()).string());
    EXPECT_TRUE(std::regex_match(path.filename().string(), std::regex("kelvo_db_[a-zA-Z0-9]{8}")))
        << path.filename();
    EXPECT_NE(InstanceParameters(true).Get("database"), parameters.Get("database"));
}

// Changes TMPDIR for the life of the object.
class ScopedTmpdir {
public:
    explicit ScopedTmpdir(const char* value) {
        if (const char* old = std::getenv("TMPDIR")) m_old = old;
        setenv("TMPDIR", value, 1);
    }
    ~ScopedTmpdir() {
        if (m_old) {
            setenv("TMPDIR", m_old->c_str(), 1);
        } else {
            unsetenv("TMPDIR");
        }
    }

private:
    std::optional<std::string> m_old;
};

TEST(ParametersTest, DatabaseLandsInTheTemporaryDirectory) {
    // Unique, since several checkouts may run this test at once.
    std::string pattern = (std::filesystem::temp_directory_path() / "kelvo_params_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const std::filesystem::path directory(pattern);
    {
        ScopedTmpdir tmpdir((directory.string() + "/").c_str());
        const std::string database(InstanceParameters(true).Get("database"));
        EXPECT_EQ(database.rfind(directory.string() + "/kelvo_db_", 0), 0u) << database;
        EXPECT_EQ(database.find("//"), std::string::npos) << database;
    }
    {
        ScopedTmpdir tmpdir((directory / "missing").c_str());
        EXPECT_THROW(InstanceParameters(true), std::filesystem::filesystem_error);
    }
    std::filesystem::remove_all(directory);
}

TEST(RandomStringTest, DrawsEveryCharacterOfTheAlphabetAndNothingElse) {
    EXPECT_EQ(GenerateRandomPrintableString(0), "");
    const std::string text = GenerateRandomPrintableString(62 * 200);
    ASSERT_EQ(text.size(), 62u * 200);
    // Missing one of 62 characters in 12400 uniform draws has a probability
    // below 1e-40.
    EXPECT_EQ(std::set<char>(text.begin(), text.end()).size(), 62u);
    EXPECT_TRUE(std::regex_match(text, std::regex("[a-zA-Z0-9]*")));
}

struct EndpointCase {
    const char* descriptor;
    const char* host;
    const char* port;
};

TEST(ParametersTest, ConvertsEndpointsToHostAndPort) {
    const EndpointCase cases[] = {
        {"pel.tcp://localhost:7483", "localhost", "7483"},
        {"pel.tcp://localhost:auto", "localhost", "0"},
        {"pel.tcp://[::1]:80", "::1", "80"},
        {"pel.tcp://:5000", "", "5000"},
        {"pel.domain:///tmp/domain/.s.PGSQL.8000", "/tmp", "8000"},
        {"pel.domain:///srv/domain/x/domain/.s.PGSQL.1", "/srv/domain/x", "1"},
        {"pel.domain:///tmp/domain/sock", "/tmp", "sock"},
        {"pel.pipe://h/pipe/p", "//h/pipe/p", ""},
        {"pel.pipe://auto", "//./pipe/auto", ""},
    };
    for (const EndpointCase& c : cases) {
        EXPECT_EQ(ParseEndpointDescriptor(c.descriptor), std::make_pair(std::string(c.host), std::string(c.port)))
            << c.descriptor;
    }
    EXPECT_THROW(ParseEndpointDescriptor("pel.tcp://h"), std::invalid_argument);
}

// The C entry points, as an application uses them.
struct ErrorDeleter {
    void operator()(kelvo_error_t* error) const { kelvo_error_destroy(error); }
};
using ErrorPtr = std::unique_ptr<kelvo_error_t, ErrorDeleter>;

TEST(ParametersCInterfaceTest, CreatesSetsCopiesAndDestroys) {
    kelvo_parameters_t* original = nullptr;
    ASSERT_EQ(kelvo_create_instance_parameters(&original, false), nullptr);
    ASSERT_NE(original, nullptr);
    EXPECT_EQ(kelvo_parameters_set(original, "a", "1"), nullptr);

    kelvo_parameters_t* copy = kelvo_parameters_copy(original);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(kelvo_parameters_set(copy, "a", "2"), nullptr);
    EXPECT_EQ(kelvo_parameters_set(copy, "b", "3"), nullptr);
    const auto& originalSet = *static_cast<Parameters*>(original);
    const auto& copiedSet = *static_cast<Parameters*>(copy);
    EXPECT_EQ(originalSet.Get("a"), "1");
    EXPECT_FALSE(originalSet.ContainsKey("b"));
    EXPECT_EQ(copiedSet.Get("a"), "2");
    kelvo_parameters_destroy(original);
    EXPECT_EQ(copiedSet.Get("b"), "3");
    kelvo_parameters_destroy(copy);

    kelvo_parameters_t* defaults = nullptr;
    ASSERT_EQ(kelvo_create_instance_parameters(&defaults, true), nullptr);
    EXPECT_EQ(std::distance(static_cast<Parameters*>(defaults)->begin(), static_cast<Parameters*>(defaults)->end()),
              10);
    kelvo_parameters_t* defaultsCopy = kelvo_parameters_copy(defaults);
    kelvo_parameters_destroy(defaults);
    EXPECT_EQ(static_cast<Parameters*>(defaultsCopy)->Get("init"), "overwrite");
    kelvo_parameters_destroy(defaultsCopy);
}

TEST(ParametersCInterfaceTest, ReportsRefusalsAsErrorObjects) {
    kelvo_parameters_t* parameters = nullptr;
    ASSERT_EQ(kelvo_create_instance_parameters(&parameters, false), nullptr);
    ErrorPtr error(kelvo_parameters_set(parameters, "Bad", "x"));
    ASSERT_NE(error, nullptr);
    const auto& refused = *static_cast<Error*>(error.get());
    EXPECT_EQ(refused.GetSqlstate(), "42602");
    EXPECT_EQ(refused.GetContextId().value, 0xcab17a1bu);
    EXPECT_FALSE(static_cast<Parameters*>(parameters)->ContainsKey("Bad"));
    kelvo_parameters_destroy(parameters);
}

TEST(ParametersCInterfaceTest, LeavesTheOutParameterAloneOnFailure) {
    ScopedTmpdir tmpdir("/nonexistent/kelvo/tmp");
    kelvo_parameters_t* untouched = reinterpret_cast<kelvo_parameters_t*>(0x1);
    ErrorPtr error(kelvo_create_instance_parameters(&untouched, true));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(untouched, reinterpret_cast<kelvo_parameters_t*>(0x1));
    EXPECT_FALSE(static_cast<Error*>(error.get())->GetMessage().empty());
}

}  // namespace
}  // namespace kelvoapi
