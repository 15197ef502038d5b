// Parameter sets: a refused name or value leaves the set as it was; random
// database names draw from the whole alphabet.
#include "instance/parameters.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "error/error.h"
#include "instance/random_string.h"

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

TEST(ParametersTest, RandomNamesDrawEveryCharacterOfTheAlphabet) {
    const std::string text = GenerateRandomPrintableString(62 * 200);
    // Missing one of 62 characters in 12400 uniform draws has a probability below 1e-40.
    EXPECT_EQ(std::set<char>(text.begin(), text.end()).size(), 62u);
    EXPECT_TRUE(std::regex_match(text, std::regex("[a-zA-Z0-9]*")));
}

}  // namespace
}  // namespace kelvoapi
