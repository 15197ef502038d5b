// The error object, SQLSTATEs, tagged texts and the C-interface frame.
#include "error/error.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <regex>
#include <sstream>
#include <tuple>

#include "error/frame.h"
#include "error/system_error_sqlstate.h"
#include "error/tagged_text.h"
#include "support/error_ptr.h"
#include "support/thrown_error.h"

namespace {

using kelvoapi::ContextId;
using kelvoapi::Error;

std::error_code Sqlstate(kelvo::Sqlstate code) { return kelvo::make_error_code(code); }

// A category from outside the library whose conditions are generic ones.
class ForeignCategory final : public std::error_category {
public:
    const char* name() const noexcept override { return "foreign"; }
    std::string message(int) const override { return "foreign"; }
    std::error_condition default_error_condition(int) const noexcept override {
        return std::errc::no_such_file_or_directory;
    }
};
const ForeignCategory foreignCategory;

TEST(Error, DetailOffsetStaysInsideTheMessage) {
    const Error withDetail(Sqlstate(kelvo::Sqlstate::GeneralError), "primary: detail", ContextId{1}, 9);
    EXPECT_EQ(withDetail.GetPrimaryMessage(), "primary: ");
    EXPECT_EQ(withDetail.GetDetail(), "detail");
    const Error pastTheEnd(Sqlstate(kelvo::Sqlstate::GeneralError), "short", ContextId{1}, 100);
    EXPECT_EQ(pastTheEnd.GetDetailOffset(), 5u);
    Error error(Sqlstate(kelvo::Sqlstate::GeneralError), "primary: a long detail", ContextId{1}, 9);
    error.SetMessage("longer than nine");
    EXPECT_EQ(error.GetDetail(), "an nine");
    error.SetMessage("tiny");
    EXPECT_EQ(error.GetDetail(), "");
}

TEST(Error, EveryCodeEndsUpInOneOfTheFourCategories) {
    const int hy000 = kelvo::SqlstateValue("HY000");
    const std::tuple<const char*, std::error_code, kelvo_error_category_t, int> cases[] = {
        {"system", std::error_code(ENOENT, std::system_category()), KELVO_ERROR_CATEGORY_SYSTEM, ENOENT},
        {"exit code", std::error_code(3, kelvoapi::process_exit_code_category()),
         KELVO_ERROR_CATEGORY_PROCESS_EXIT_CODE, 3},
        {"sqlstate", Sqlstate(kelvo::Sqlstate::DiskFull), KELVO_ERROR_CATEGORY_SQLSTATE, kelvo::SqlstateValue("53100")},
        {"future", std::make_error_code(std::future_errc::no_state), KELVO_ERROR_CATEGORY_SQLSTATE, hy000},
        {"foreign with generic condition", std::error_code(1, foreignCategory), KELVO_ERROR_CATEGORY_GENERIC, ENOENT}};
    for (const auto& [name, code, category, value] : cases) {
        SCOPED_TRACE(name);
        const Error made = kelvoapi::MakeError(std::system_error(code, "what"), ContextId{9});
        EXPECT_EQ(made.GetCategory(), category);
        EXPECT_EQ(made.GetCode().value(), value);
        EXPECT_EQ(made.GetSqlstate(), category == KELVO_ERROR_CATEGORY_SQLSTATE ? kelvo::SqlstateText(value) : "");
        EXPECT_EQ(made.GetMessage(), std::system_error(code, "what").what());
    }
}

TEST(ErrorText, RendersEveryLineAndTheCauseChain) {
    Error error(kelvo::make_error_code(kelvo::Sqlstate::UndefinedTable), "relation missing: \"t\"",
                ContextId{0x0abcdef1}, 18);
    error.SetHint("Create it first.");
    error.SetSeverity(KELVO_SEVERITY_FATAL);
    Error cause(std::make_error_code(std::errc::invalid_argument), "bad argument", ContextId{0x10});
    cause.SetSeverity(9);
    cause.SetCause(Error(std::error_code(-1, kelvo::sqlstate_category()), "", ContextId{0}));
    error.SetCause(std::move(cause));

    std::ostringstream os;
    os << std::hex << std::showbase << std::uppercase;
    kelvoapi::PrintTo(os, error) << 255;
    EXPECT_EQ(os.str(),
              "Code: sqlstate:42P01\nMessage: relation missing: \"t\"\nHint Message: Create it first.\n"
              "Severity: FATAL\nContext id: 0xabcdef1\n\nCAUSED BY\n"
              "Code: generic:22\nMessage: bad argument\nSeverity: ?\nContext id: 0x10\n\nCAUSED BY\n"
              "Code: sqlstate:141Z3\nSeverity: ERROR\nContext id: 0x0\n0XFF");
    const Error exitCode(std::error_code(-7, kelvoapi::process_exit_code_category()), "", ContextId{0xffffffff});
    EXPECT_EQ(kelvoapi::ToString(exitCode), "Code: process_exit_code:-7\nSeverity: ERROR\nContext id: 0xffffffff\n");
}

TEST(Sqlstate, SystemErrorsMapToTheirSqlstates) {
    using E = std::errc;
    const std::pair<std::error_code, const char*> cases[] = {
        {std::make_error_code(E::no_such_file_or_directory), "58P01"},
        {std::make_error_code(E::not_enough_memory), "53200"},
        {std::make_error_code(E::no_space_on_device), "53100"},
        {std::make_error_code(E::broken_pipe), "08006"},
        {std::make_error_code(E::stream_timeout), "HYT00"},
        {std::make_error_code(E::value_too_large), "54S01"},
        {std::error_code(EACCES, std::system_category()), "42501"},
        {std::error_code(ECHILD, std::system_category()), "58000"},
        {Sqlstate(kelvo::Sqlstate::InvalidParameterValue), "22023"},
        {std::make_error_code(std::future_errc::no_state), "58000"},
        {std::error_code(), "00000"}};
    for (const auto& [code, sqlstate] : cases) {
        SCOPED_TRACE(sqlstate);
        EXPECT_EQ(kelvo::SqlstateText(static_cast<int>(kelvo::mapToSqlstate(code, kelvo::Sqlstate::SystemError))),
                  sqlstate);
    }
}

// Whatever a body throws, even no exception type at all, comes back as an error.
TEST(Frame, AnyThrowBecomesAReturnedError) {
    const kelvotest::ErrorPtr returned(kelvoapi::WrapErrorThrowingBlock([] { throw 5; }, ContextId{0xfeed0001}));
    ASSERT_NE(returned, nullptr);
    EXPECT_EQ(kelvotest::Summary(kelvotest::AsError(returned)), "XX000 0xfeed0001 An unexpected exception occurred.");
    EXPECT_EQ(kelvotest::ErrorPtr(kelvoapi::WrapErrorThrowingBlock([] {}, ContextId{1})), nullptr);
}

// A value that looks like tags (a server error quoting an object so named) cannot end its own field or forge another.
TEST(TaggedText, ValuesAreEscapedAndOnlyTheFirstCompleteBlockIsRead) {
    for (const char* value : {"", "&amp;", "x</primary><hint>evil</hint>", "<<&&>>"}) {
        std::string text;
        kelvoapi::AppendTaggedValue(text, "primary", value);
        kelvoapi::AppendTaggedValue(text, "hint", "h");
        EXPECT_EQ(text.find('<', 9), text.find("</primary>")) << value;
        EXPECT_EQ(kelvoapi::ReadTagValue(text, "primary"), value);
        EXPECT_EQ(kelvoapi::ReadTagValue(text, "hint"), "h");
    }
    // The client's own texts: every formatted value escaped, fields in order.
    const kelvoapi::TaggedText built = kelvoapi::TaggedText()
                                           .Sqlstate("08001")
                                           .Primary("Could not reach \"%s\"", "h</primary><sqlstate>00000</sqlstate>")
                                           .Detail("%s & %d", "a<b", 7)
                                           .Hint("%s", "");
    EXPECT_STREQ(built.c_str(),
                 "<sqlstate>08001</sqlstate><primary>Could not reach \"h&lt;/primary>&lt;sqlstate>00000"
                 "&lt;/sqlstate>\"</primary><detail>a&lt;b &amp; 7</detail><hint></hint>");
    const kelvoapi::Error error = kelvoapi::MakeErrorFromTaggedString(built.c_str(), ContextId{0x77});
    EXPECT_EQ(error.GetSqlstate(), "08001");
    EXPECT_EQ(error.GetMessage(), "Could not reach \"h</primary><sqlstate>00000</sqlstate>\": a<b & 7");
    // A malformed SQLSTATE is the peer breaking the protocol; severities are read exactly.
    const Error odd = kelvoapi::MakeErrorFromTaggedString("<sqlstate>4260</sqlstate><severity>fatal</severity>", {});
    EXPECT_EQ(odd.GetSqlstate(), "08P01");
    EXPECT_EQ(odd.GetSeverity(), 0);
    const std::pair<const char*, const char*> cases[] = {{"<hint>first</hint><hint>second</hint>", "first"},
                                                         {"<hint>unterminated", ""},
                                                         {"<hint>a&amp;b&lt;c&gt;</hint>", "a&b<c&gt;"}};
    for (const auto& [text, value] : cases)
        EXPECT_EQ(kelvoapi::ReadTagValue(text, "hint"), value) << text;
}

// A rendered context id must lead back to one place: every id lives in the one table, under one name and with a value
// no other id has.
TEST(ContextIds, EveryIdIsDefinedOnceInTheTableWithItsOwnValue) {
    namespace fs = std::filesystem;
    const fs::path root(KELVO_SOURCE_DIR);
    const fs::path table = root / "error" / "context_ids.h";
    auto read = [](const fs::path& path) {
        return std::string(std::istreambuf_iterator<char>(std::ifstream(path).rdbuf()), {});
    };
    const std::string text = read(table);
    const std::regex entry(R"(ContextId (\w+)\{(0x[0-9a-fA-F]+)\})");
    std::map<uint32_t, std::string> byValue;
    for (std::sregex_iterator it(text.begin(), text.end(), entry), end; it != end; ++it) {
        const auto value = static_cast<uint32_t>(std::stoul((*it)[2].str(), nullptr, 16));
        const auto [place, added] = byValue.emplace(value, (*it)[1].str());
        EXPECT_TRUE(added) << (*it)[1] << " has the value of " << place->second;
    }
    EXPECT_GT(byValue.size(), 100u);

    const std::regex elsewhere(R"(ContextId\s*\w*\s*\{\s*0x)");
    for (const char* folder : {"api", "error", "infra", "instance", "ipc", "postgres"}) {
        for (const auto& file : fs::recursive_directory_iterator(root / folder)) {
            if (file.is_regular_file() && file.path() != table) {
                EXPECT_FALSE(std::regex_search(read(file.path()), elsewhere)) << file.path() << " defines an id";
            }
        }
    }
}

}  // namespace
