// The error object: construction, categories, copying and moving with the
// cause chain, and errors made from standard exceptions.
#include "error/error.h"

#include <gtest/gtest.h>

#include <future>
#include <ios>

namespace {

using kelvoapi::ContextId;
using kelvoapi::Error;

std::error_code Sqlstate(kelvo::Sqlstate code) { return kelvo::make_error_code(code); }

// A category from outside the library whose conditions are generic ones.
class ForeignCategory final : public std::error_category {
public:
    const char* name() const noexcept override { return "foreign"; }
    std::string message(int) const override { return "foreign"; }
    std::error_condition default_error_condition(int value) const noexcept override {
        if (value == 1) return std::errc::no_such_file_or_directory;
        return std::error_condition(value, *this);
    }
};
const ForeignCategory foreignCategory;

TEST(Error, ConstructionKeepsTheInvariants) {
    const Error plain(Sqlstate(kelvo::Sqlstate::UndefinedTable), "no table", ContextId{5});
    EXPECT_EQ(plain.GetSqlstate(), "42P01");
    EXPECT_EQ(plain.GetCategory(), KELVO_ERROR_CATEGORY_SQLSTATE);
    EXPECT_EQ(plain.GetDetailOffset(), 8u);
    EXPECT_EQ(plain.GetDetail(), "");
    EXPECT_EQ(plain.GetSeverity(), KELVO_SEVERITY_ERROR);
    EXPECT_EQ(plain.GetCause(), nullptr);
    EXPECT_EQ(plain.GetContextId().value, 5u);

    const Error withDetail(Sqlstate(kelvo::Sqlstate::GeneralError), "primary: detail", ContextId{1}, 9);
    EXPECT_EQ(withDetail.GetPrimaryMessage(), "primary: ");
    EXPECT_EQ(withDetail.GetDetail(), "detail");

    const Error pastTheEnd(Sqlstate(kelvo::Sqlstate::GeneralError), "short", ContextId{1}, 100);
    EXPECT_EQ(pastTheEnd.GetDetailOffset(), 5u);
    EXPECT_EQ(pastTheEnd.GetDetail(), "");

    const Error generic(std::make_error_code(std::errc::invalid_argument), "x", ContextId{1});
    EXPECT_EQ(generic.GetSqlstate(), "");
    EXPECT_EQ(generic.GetCategory(), KELVO_ERROR_CATEGORY_GENERIC);
}

TEST(Error, EveryCodeEndsUpInOneOfTheFourCategories) {
    struct Case {
        const char* name;
        std::error_code code;
        kelvo_error_category_t category;
        int value;
    };
    const Case cases[] = {
        {"generic", std::make_error_code(std::errc::invalid_argument), KELVO_ERROR_CATEGORY_GENERIC, EINVAL},
        {"system", std::error_code(ENOENT, std::system_category()), KELVO_ERROR_CATEGORY_SYSTEM, ENOENT},
        {"exit code", std::error_code(3, kelvoapi::process_exit_code_category()),
         KELVO_ERROR_CATEGORY_PROCESS_EXIT_CODE, 3},
        {"sqlstate", Sqlstate(kelvo::Sqlstate::DiskFull), KELVO_ERROR_CATEGORY_SQLSTATE,
         kelvo::SqlstateValue("53100")},
        {"iostream", std::make_error_code(std::io_errc::stream), KELVO_ERROR_CATEGORY_SQLSTATE,
         kelvo::SqlstateValue("HY000")},
        {"future", std::make_error_code(std::future_errc::no_state), KELVO_ERROR_CATEGORY_SQLSTATE,
         kelvo::SqlstateValue("HY000")},
        {"foreign with generic condition", std::error_code(1, foreignCategory), KELVO_ERROR_CATEGORY_GENERIC, ENOENT},
        {"foreign without", std::error_code(2, foreignCategory), KELVO_ERROR_CATEGORY_SQLSTATE,
         kelvo::SqlstateValue("HY000")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Error made = kelvoapi::MakeError(std::system_error(c.code, "what"), ContextId{9});
        EXPECT_EQ(made.GetCategory(), c.category);
        EXPECT_EQ(made.GetCode().value(), c.value);
        EXPECT_EQ(made.GetSqlstate(),
                  c.category == KELVO_ERROR_CATEGORY_SQLSTATE ? kelvo::SqlstateText(c.value) : "");
        EXPECT_EQ(made.GetMessage(), std::system_error(c.code, "what").what());
        EXPECT_EQ(made.GetContextId().value, 9u);
    }
}

TEST(Error, StandardExceptionsWithoutCodeBecomeGeneralErrors) {
    const std::runtime_error runtime("went wrong");
    const Error made = kelvoapi::MakeError(static_cast<const std::exception&>(runtime), ContextId{0x42});
    EXPECT_EQ(made.GetSqlstate(), "HY000");
    EXPECT_EQ(made.GetMessage(), "went wrong");
    EXPECT_EQ(made.GetDetail(), "");

    const std::system_error system(std::error_code(EACCES, std::system_category()), "open");
    const Error viaBase = kelvoapi::MakeError(static_cast<const std::exception&>(system), ContextId{0x42});
    EXPECT_EQ(viaBase.GetCategory(), KELVO_ERROR_CATEGORY_SYSTEM);
    EXPECT_EQ(viaBase.GetCode().value(), EACCES);
}

TEST(Error, OutOfMemoryErrorIsFixed) {
    std::unique_ptr<Error> error(kelvoapi::CreateOutOfMemoryError());
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->GetSqlstate(), "53200");
    EXPECT_EQ(error->GetMessage(), "");
    EXPECT_EQ(error->GetDetailOffset(), 0u);
    EXPECT_EQ(error->GetContextId().value, 0xbada110cu);
    EXPECT_EQ(error->GetSeverity(), KELVO_SEVERITY_ERROR);
}

Error Chain(int length) {
    Error head(Sqlstate(kelvo::Sqlstate::GeneralError), "link 0", ContextId{0});
    Error* tail = &head;
    for (int i = 1; i < length; ++i) {
        tail->SetCause(Error(Sqlstate(kelvo::Sqlstate::GeneralError), "link " + std::to_string(i),
                             ContextId{static_cast<uint32_t>(i)}));
        tail = tail->GetCause();
    }
    return head;
}

std::vector<std::string> Messages(const Error& error) {
    std::vector<std::string> messages;
    for (const Error* link = &error; link; link = link->GetCause()) messages.push_back(link->GetMessage());
    return messages;
}

TEST(Error, CopiesDuplicateTheWholeChain) {
    const Error original = Chain(3);
    Error copy = original;
    EXPECT_EQ(Messages(copy), Messages(original));
    EXPECT_NE(copy.GetCause(), original.GetCause());
    copy.GetCause()->SetMessage("changed");
    EXPECT_EQ(original.GetCause()->GetMessage(), "link 1");

    Error assigned = Chain(1);
    assigned = original;
    EXPECT_EQ(Messages(assigned), Messages(original));
    assigned = assigned;  // self-assignment keeps the chain
    EXPECT_EQ(Messages(assigned).size(), 3u);
}

TEST(Error, MovesHandOverTheChainAndFreeTheTargetsOldOne) {
    Error source = Chain(3);
    const Error* cause = source.GetCause();
    Error target = Chain(4);
    target = std::move(source);
    EXPECT_EQ(target.GetCause(), cause);
    EXPECT_EQ(Messages(target).size(), 3u);

    Error moved(std::move(target));
    EXPECT_EQ(moved.GetCause(), cause);

    Error other(std::make_error_code(std::errc::io_error), "other", ContextId{77});
    moved.swap(other);
    EXPECT_EQ(moved.GetMessage(), "other");
    EXPECT_EQ(moved.GetCause(), nullptr);
    EXPECT_EQ(other.GetCause(), cause);
}

TEST(Error, SettingACauseFreesThePreviousChain) {
    Error error = Chain(3);
    error.SetCause(Error(Sqlstate(kelvo::Sqlstate::IoError), "new cause", ContextId{1}));
    EXPECT_EQ(Messages(error), (std::vector<std::string>{"link 0", "new cause"}));
    error.SetCause(std::unique_ptr<Error>());
    EXPECT_EQ(error.GetCause(), nullptr);
}

TEST(Error, SetMessageCutsTheDetailToTheNewText) {
    Error error(Sqlstate(kelvo::Sqlstate::GeneralError), "primary: a long detail", ContextId{1}, 9);
    error.SetMessage("longer than nine");
    EXPECT_EQ(error.GetDetail(), "an nine");
    error.SetMessage("tiny");
    EXPECT_EQ(error.GetDetail(), "");
    EXPECT_EQ(error.GetMessage(), "tiny");
}

}  // namespace
