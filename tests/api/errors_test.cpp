// The error functions of the C interface, used as a C caller uses them.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "support/error_ptr.h"

namespace {

using kelvotest::ErrorPtr;

kelvo_error_field_key Key(int key) { return static_cast<kelvo_error_field_key>(key); }

kelvo_error_field_value Get(const kelvo_error_t* error, int key) {
    kelvo_error_field_value value{};
    EXPECT_EQ(ErrorPtr(kelvo_error_get_field(error, Key(key), &value)), nullptr) << "key " << key;
    return value;
}
std::string GetText(const kelvo_error_t* error, int key) { return Get(error, key).value.string; }
int GetInt(const kelvo_error_t* error, int key) { return Get(error, key).value.integer; }
void* GetCause(const kelvo_error_t* error) { return Get(error, KELVO_ERROR_FIELD_CAUSE).value.pointer; }

kelvo_error_t* SetInt(kelvo_error_t* error, int key, int integer) {
    return kelvo_error_set_field(error, Key(key), {0, {integer}});
}
kelvo_error_t* SetText(kelvo_error_t* error, int key, const char* text) {
    kelvo_error_field_value value{1, {}};
    value.value.string = text;
    return kelvo_error_set_field(error, Key(key), value);
}
kelvo_error_t* SetCause(kelvo_error_t* error, void* cause) {
    kelvo_error_field_value value{2, {}};
    value.value.pointer = cause;
    return kelvo_error_set_field(error, KELVO_ERROR_FIELD_CAUSE, value);
}

// The refusal of an invalid key: generic code 22, "Invalid `field`".
void ExpectInvalidField(kelvo_error_t* returned, uint32_t contextId) {
    ErrorPtr failure(returned);
    ASSERT_NE(failure, nullptr);
    EXPECT_EQ(GetInt(failure.get(), KELVO_ERROR_FIELD_ERROR_CATEGORY), KELVO_ERROR_CATEGORY_GENERIC);
    EXPECT_EQ(GetInt(failure.get(), KELVO_ERROR_FIELD_ERROR_CODE), 22);
    EXPECT_EQ(GetText(failure.get(), KELVO_ERROR_FIELD_MESSAGE), "Invalid `field`");
    EXPECT_EQ(Get(failure.get(), KELVO_ERROR_FIELD_CONTEXT_ID).value.uinteger, contextId);
}

std::string Render(const kelvo_error_t* error) { return kelvoapi::ToString(kelvotest::AsError(error)); }

TEST(ErrorFunctions, FieldsReadBackWhatWasSetWithTheSqlstateInStep) {
    ErrorPtr error(kelvo_error_create(7));
    EXPECT_EQ(Render(error.get()), "Code: sqlstate:00000\nSeverity: ERROR\nContext id: 0x7\n");
    EXPECT_EQ(Get(error.get(), KELVO_ERROR_FIELD_CONTEXT_ID).discriminator, 3);
    ASSERT_EQ(SetText(error.get(), KELVO_ERROR_FIELD_MESSAGE, "the message"), nullptr);
    // A new error's detail begins at 0, and setting the message keeps that offset.
    EXPECT_EQ(GetText(error.get(), KELVO_ERROR_FIELD_DETAIL), "the message");
    ASSERT_EQ(SetText(error.get(), KELVO_ERROR_FIELD_HINT_MESSAGE, "the hint"), nullptr);
    ASSERT_EQ(SetInt(error.get(), KELVO_ERROR_FIELD_SEVERITY, KELVO_SEVERITY_PANIC), nullptr);
    kelvo_error_field_value id{};  // the key, not the discriminator, decides which member is read
    id.value.uinteger = 0xdeadbeef;
    ASSERT_EQ(kelvo_error_set_field(error.get(), KELVO_ERROR_FIELD_CONTEXT_ID, id), nullptr);
    ASSERT_EQ(SetInt(error.get(), KELVO_ERROR_FIELD_ERROR_CODE, 30139776), nullptr);
    EXPECT_EQ(Render(error.get()),
              "Code: sqlstate:HY000\nMessage: the message\nHint Message: the hint\nSeverity: PANIC\n"
              "Context id: 0xdeadbeef\n");
    // Each step sets a key to a value; the category and SQLSTATE follow.
    const std::tuple<int, int, int, const char*> steps[] = {
        {KELVO_ERROR_FIELD_ERROR_CATEGORY, KELVO_ERROR_CATEGORY_PROCESS_EXIT_CODE,
         KELVO_ERROR_CATEGORY_PROCESS_EXIT_CODE, ""},
        {KELVO_ERROR_FIELD_ERROR_CODE, 137, KELVO_ERROR_CATEGORY_PROCESS_EXIT_CODE, ""},
        {KELVO_ERROR_FIELD_ERROR_CATEGORY, KELVO_ERROR_CATEGORY_SQLSTATE, KELVO_ERROR_CATEGORY_SQLSTATE, "00000"},
        {KELVO_ERROR_FIELD_ERROR_CODE, -1, KELVO_ERROR_CATEGORY_SQLSTATE, "141Z3"}};
    for (const auto& [key, value, category, sqlstate] : steps) {
        SCOPED_TRACE(value);
        ASSERT_EQ(SetInt(error.get(), key, value), nullptr);
        EXPECT_EQ(GetInt(error.get(), KELVO_ERROR_FIELD_ERROR_CATEGORY), category);
        EXPECT_EQ(GetText(error.get(), KELVO_ERROR_FIELD_SQL_STATE), sqlstate);
    }
}

TEST(ErrorFunctions, RefusedKeysAndCategoriesChangeNothing) {
    ErrorPtr error(kelvo_error_create(1));
    const std::string before = Render(error.get());
    for (int key : {int{KELVO_ERROR_FIELD_SQL_STATE}, int{KELVO_ERROR_FIELD_DETAIL}, 9, -1}) {
        ExpectInvalidField(SetText(error.get(), key, "x"), 0x2fecca9a);
        kelvo_error_field_value value{};
        value.value.uinteger = 4242;
        if (key > 8 || key < 0)
            ExpectInvalidField(kelvo_error_get_field(error.get(), Key(key), &value), 0x311af7e6);
        EXPECT_EQ(value.value.uinteger, 4242u);
    }
    for (int category : {2, 5, -1})
        ExpectInvalidField(SetInt(error.get(), KELVO_ERROR_FIELD_ERROR_CATEGORY, category), 0x2fecca9a);
    EXPECT_EQ(Render(error.get()), before);
}

TEST(ErrorFunctions, CausesAreOwnedAndLinksOfTheOwnChainAreRefused) {
    ErrorPtr error(kelvo_error_create(1));
    kelvo_error_t* first = kelvo_error_create(2);
    ASSERT_EQ(SetCause(error.get(), first), nullptr);
    // Setting the same cause again must neither free nor change it.
    ASSERT_EQ(SetCause(error.get(), first), nullptr);
    EXPECT_EQ(Get(first, KELVO_ERROR_FIELD_CONTEXT_ID).value.uinteger, 2u);
    kelvo_error_t* grandCause = kelvo_error_create(3);
    ASSERT_EQ(SetCause(first, grandCause), nullptr);
    for (kelvo_error_t* inChain : {grandCause, error.get()}) {
        ExpectInvalidField(SetCause(error.get(), inChain), 0x2fecca9a);
        EXPECT_EQ(GetCause(error.get()), first);
        EXPECT_EQ(GetCause(first), grandCause);
    }
    // Replacing frees the previous chain (the leak checker sees it otherwise).
    ASSERT_EQ(SetCause(error.get(), kelvo_error_create(4)), nullptr);
    EXPECT_EQ(Render(error.get()),
              "Code: sqlstate:00000\nSeverity: ERROR\nContext id: 0x1\n\nCAUSED BY\n"
              "Code: sqlstate:00000\nSeverity: ERROR\nContext id: 0x4\n");
    ASSERT_EQ(SetCause(error.get(), nullptr), nullptr);
    EXPECT_EQ(GetCause(error.get()), nullptr);
    kelvo_error_destroy(nullptr);
}

TEST(ErrorFunctions, AHundredThousandCausesAreBuiltCopiedRenderedAndFreed) {
    kelvo_error_t* head = kelvo_error_create(0);
    for (uint32_t i = 1; i < 100000; ++i) {
        kelvo_error_t* next = kelvo_error_create(i);
        ASSERT_EQ(SetCause(next, head), nullptr);
        head = next;
    }
    ErrorPtr chain(head);
    // Refusing a link deep in the chain walks it without recursion, too.
    kelvo_error_t* deep = head;
    for (int i = 0; i < 99999; ++i)
        deep = static_cast<kelvo_error_t*>(GetCause(deep));
    ExpectInvalidField(SetCause(head, deep), 0x2fecca9a);
    const kelvoapi::Error copy = kelvotest::AsError(head);
    const std::string text = kelvoapi::ToString(copy);
    EXPECT_EQ(text.substr(text.size() - 16), "Context id: 0x0\n");
    EXPECT_NE(text.find("Context id: 0x1869f\n"), std::string::npos);
}

}  // namespace
