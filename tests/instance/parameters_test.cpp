// Parameter sets: validation of names and values, the instance defaults with
// their random database name, the endpoint conversion, and the C entry points.
#include "instance/parameters.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "error/error.h"
#include "instance/random_string.h"
#include "kelvo/error.h"

namespace kelvoapi {
namespace {

using Entries = std::vector<std::pair<const std::string, std::string>>;

TEST(ParametersTest, RefusesInvalidNamesAndValuesAndKeepsTheSet) {
    const std::string badForm =
        "Invalid connection string \"localhost:80\". The connection string must be of the form \"<scheme>://<rest>\".";
    const struct {
        const char *name, *value, *sqlstate;
        std::string message;
        uint32_t contextId;
    } cases[] = {
        {"date_stylE", "x", "42602",
         "Invalid parameter name: date_stylE, capital letters are not allowed in parameter names.", 0xcab17a1b},
        // The minus check comes first.
        {"Date-Style", "x", "42602", "Invalid parameter name: Date-Style, minus '-' is not allowed in parameter names.",
         0xa753838f},
        {"log_config", "file", "22023", "Only the empty string is supported as value for the \"log_config\" parameter.",
         0xca4566},
        {"endpoint", "localhost:80", "HY000", badForm, 0x53788},
        {"endpoint", "pel.tcp://h:70000", "HY000", "Port must not be greater than 65535", 0x53788},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name + std::string("=") + c.value);
        Parameters parameters;
        parameters.Set("log_config", "");
        const Entries before(parameters.begin(), parameters.end());
        try {
            parameters.Set(c.name, c.value);
            ADD_FAILURE() << "accepted";
        } catch (const Error& e) {
            EXPECT_EQ(e.GetSqlstate(), c.sqlstate);
            EXPECT_EQ(e.GetMessage(), c.message);
            EXPECT_EQ(e.GetContextId().value, c.contextId);
        }
        EXPECT_EQ(Entries(parameters.begin(), parameters.end()), before);
    }
}

TEST(ParametersTest, KeepsEntriesInByteOrderAndTellsAbsentFromEmpty) {
    Parameters parameters;
    for (const auto& [name, value] : Entries{{"ab", "1"},
                                             {"", "e"},
                                             {"a b", "2"},
                                             {"\xc3\x84", "3"},
                                             {"log_config", "file,json,all,kelvod,0"},
                                             {"ab", "4"}})
        parameters.Set(name, value);
    EXPECT_EQ(
        Entries(parameters.begin(), parameters.end()),
        (Entries{{"", "e"}, {"a b", "2"}, {"ab", "4"}, {"log_config", "file,json,all,kelvod,0"}, {"\xc3\x84", "3"}}));
    parameters.Set("empty", "");
    EXPECT_NE(parameters.Get("empty").data(), nullptr);
    EXPECT_EQ(parameters.Get("absent").data(), nullptr);
    parameters.Erase("empty");
    EXPECT_FALSE(parameters.ContainsKey("empty"));
}

TEST(ParametersTest, RandomNamesDrawEveryCharacterOfTheAlphabet) {
    const std::string text = GenerateRandomPrintableString(62 * 200);
    // Missing one of 62 characters in 12400 uniform draws has a probability below 1e-40.
    EXPECT_EQ(std::set<char>(text.begin(), text.end()).size(), 62u);
    EXPECT_TRUE(std::regex_match(text, std::regex("[a-zA-Z0-9]*")));
}

TEST(ParametersCInterfaceTest, CopiesAreIndependentAndFailuresLeaveTheOutputAlone) {
    kelvo_parameters_t* original = nullptr;
    ASSERT_EQ(kelvo_create_instance_parameters(&original, true), nullptr);
    kelvo_parameters_t* copy = kelvo_parameters_copy(original);
    EXPECT_EQ(kelvo_parameters_set(copy, "init", "none"), nullptr);
    kelvo_error_t* refused = kelvo_parameters_set(copy, "Bad", "x");
    ASSERT_NE(refused, nullptr);
    EXPECT_EQ(static_cast<Error*>(refused)->GetContextId().value, 0xcab17a1bu);
    kelvo_error_destroy(refused);
    EXPECT_EQ(static_cast<Parameters*>(original)->Get("init"), "overwrite");
    kelvo_parameters_destroy(original);
    EXPECT_EQ(static_cast<Parameters*>(copy)->Get("init"), "none");
    EXPECT_FALSE(static_cast<Parameters*>(copy)->ContainsKey("Bad"));
    kelvo_parameters_destroy(copy);

    // A temporary directory that does not exist fails the defaults.
    const char* old = std::getenv("TMPDIR");
    const std::string saved = old ? old : "";
    ::setenv("TMPDIR", "/nonexistent/kelvo/tmp", 1);
    auto* untouched = reinterpret_cast<kelvo_parameters_t*>(0x1);
    kelvo_error_t* error = kelvo_create_instance_parameters(&untouched, true);
    old ? ::setenv("TMPDIR", saved.c_str(), 1) : ::unsetenv("TMPDIR");
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(untouched, reinterpret_cast<kelvo_parameters_t*>(0x1));
    kelvo_error_destroy(error);
}

}  // namespace
}  // namespace kelvoapi
