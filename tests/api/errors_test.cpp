// The error functions of the C interface, used as a C caller uses them.
#include <gtest/gtest.h>

#include <memory>

#include "error/error.h"
#include "kelvo/error.h"

namespace {

struct Destroy {
    void operator()(kelvo_error_t* error) const { kelvo_error_destroy(error); }
};
using ErrorPtr = std::unique_ptr<kelvo_error_t, Destroy>;

kelvo_error_field_key Key(int key) { return static_cast<kelvo_error_field_key>(key); }

kelvo_error_field_value Get(const kelvo_error_t* error, int key) {
    kelvo_error_field_value value{};
    ErrorPtr failure(kelvo_error_get_field(error, Key(key), &value));
    EXPECT_EQ(failure, nullptr) << "key " << key;
    return value;
}

std::string GetText(const kelvo_error_t* error, int key) {
    const kelvo_error_field_value value = Get(error, key);
    EXPECT_EQ(value.discriminator, 1);
    return value.value.string;
}

int GetInt(const kelvo_error_t* error, int key) {
    const kelvo_error_field_value value = Get(error, key);
    EXPECT_EQ(value.discriminator, 0);
    return value.value.integer;
}

kelvo_error_t* SetInt(kelvo_error_t* error, int key, int integer) {
    kelvo_error_field_value value{};
    value.discriminator = 0;
    value.value.integer = integer;
    return kelvo_error_set_field(error, Key(key), value);
}

kelvo_error_t* SetText(kelvo_error_t* error, int key, const char* text) {
    kelvo_error_field_value value{};
    value.discriminator = 1;
    value.value.string = text;
    return kelvo_error_set_field(error, Key(key), value);
}

kelvo_error_t* SetPointer(kelvo_error_t* error, int key, void* pointer) {
    kelvo_error_field_value value{};
    value.discriminator = 2;
    value.value.pointer = pointer;
    return kelvo_error_set_field(error, Key(key), value);
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

std::string Render(const kelvo_error_t* error) { return kelvoapi::ToString(*static_cast<const kelvoapi::Error*>(error)); }

TEST(ErrorFunctions, ANewErrorIsEmptyWithItsContextId) {
    ErrorPtr error(kelvo_error_create(7));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(GetInt(error.get(), KELVO_ERROR_FIELD_ERROR_CATEGORY), KELVO_ERROR_CATEGORY_SQLSTATE);
    EXPECT_EQ(GetInt(error.get(), KELVO_ERROR_FIELD_ERROR_CODE), 0);
    EXPECT_EQ(GetText(error.get(), KELVO_ERROR_FIELD_SQL_STATE), "00000");
    EXPECT_EQ(GetText(error.get(), KELVO_ERROR_FIELD_MESSAGE), "");
    const kelvo_error_field_value cause = Get(error.get(), KELVO_ERROR_FIELD_CAUSE);
    EXPECT_EQ(cause.discriminator, 2);
    EXPECT_EQ(cause.value.pointer, nullptr);
    const kelvo_error_field_value id = Get(error.get(), KELVO_ERROR_FIELD_CONTEXT_ID);
    EXPECT_EQ(id.discriminator, 3);
    EXPECT_EQ(id.value.uinteger, 7u);
}

TEST(ErrorFunctions, SettableFieldsReadBackWhatWasSet) {
    ErrorPtr error(kelvo_error_create(1));
    ASSERT_EQ(SetText(error.get(), KELVO_ERROR_FIELD_MESSAGE, "the message"), nullptr);
    EXPECT_EQ(GetText(error.get(), KELVO_ERROR_FIELD_MESSAGE), "the message");
    // A new error's detail begins at 0, and setting the message keeps that offset.
    EXPECT_EQ(GetText(error.get(), KELVO_ERROR_FIELD_DETAIL), "the message");
    ASSERT_EQ(SetText(error.get(), KELVO_ERROR_FIELD_HINT_MESSAGE, "the hint"), nullptr);
    EXPECT_EQ(GetText(error.get(), KELVO_ERROR_FIELD_HINT_MESSAGE), "the hint");
    ASSERT_EQ(SetInt(error.get(), KELVO_ERROR_FIELD_SEVERITY, KELVO_SEVERITY_PANIC), nullptr);
    EXPECT_EQ(GetInt(error.get(), KELVO_ERROR_FIELD_SEVERITY), KELVO_SEVERITY_PANIC);
    kelvo_error_field_value id{};
    id.discriminator = 0;  // ignored: the key decides which member is read
    id.value.uinteger = 0xdeadbeef;
    ASSERT_EQ(kelvo_error_set_field(error.get(), KELVO_ERROR_FIELD_CONTEXT_ID, id), nullptr);
    EXPECT_EQ(Get(error.get(), KELVO_ERROR_FIELD_CONTEXT_ID).value.uinteger, 0xdeadbeefu);
    ASSERT_EQ(SetInt(error.get(), KELVO_ERROR_FIELD_ERROR_CODE, 30139776), nullptr);
    EXPECT_EQ(GetText(error.get(), KELVO_ERROR_FIELD_SQL_STATE), "HY000");
    EXPECT_EQ(Render(error.get()),
              "Code: sqlstate:HY000\nMessage: the message\nHint Message: the hint\nSeverity: PANIC\n"
              "Context id: 0xdeadbeef\n");
}

TEST(ErrorFunctions, CategoryAndCodeChangesKeepTheSqlstateInStep) {
    struct Step {
        int key;
        int value;
        int category;
        int code;
        const char* sqlstate;
    };
    const Step steps[] = {
        {KELVO_ERROR_FIELD_ERROR_CODE, 3452619, KELVO_ERROR_CATEGORY_SQLSTATE, 3452619, "22023"},
        {KELVO_ERROR_FIELD_ERROR_CATEGORY, KELVO_ERROR_CATEGORY_SYSTEM, KELVO_ERROR_CATEGORY_SYSTEM, 0, ""},
        {KELVO_ERROR_FIELD_ERROR_CATEGORY, KELVO_ERROR_CATEGORY_PROCESS_EXIT_CODE,
         KELVO_ERROR_CATEGORY_PROCESS_EXIT_CODE, 0, ""},
        {KELVO_ERROR_FIELD_ERROR_CODE, 137, KELVO_ERROR_CATEGORY_PROCESS_EXIT_CODE, 137, ""},
        {KELVO_ERROR_FIELD_ERROR_CATEGORY, KELVO_ERROR_CATEGORY_SQLSTATE, KELVO_ERROR_CATEGORY_SQLSTATE, 0,
         "00000"},
        {KELVO_ERROR_FIELD_ERROR_CODE, -1, KELVO_ERROR_CATEGORY_SQLSTATE, -1, "141Z3"},
    };
    ErrorPtr error(kelvo_error_create(1));
    for (const Step& s : steps) {
        SCOPED_TRACE(std::to_string(s.key) + " = " + std::to_string(s.value));
        ASSERT_EQ(SetInt(error.get(), s.key, s.value), nullptr);
        EXPECT_EQ(GetInt(error.get(), KELVO_ERROR_FIELD_ERROR_CATEGORY), s.category);
        EXPECT_EQ(GetInt(error.get(), KELVO_ERROR_FIELD_ERROR_CODE), s.code);
        EXPECT_EQ(GetText(error.get(), KELVO_ERROR_FIELD_SQL_STATE), s.sqlstate);
    }
}

TEST(ErrorFunctions, RefusedKeysAndCategoriesChangeNothing) {
    ErrorPtr error(kelvo_error_create(1));
    ASSERT_EQ(SetText(error.get(), KELVO_ERROR_FIELD_MESSAGE, "kept"), nullptr);
    const std::string before = Render(error.get());
    for (int key : {int{KELVO_ERROR_FIELD_SQL_STATE}, int{KELVO_ERROR_FIELD_DETAIL}, 9, 100, -1}) {
        SCOPED_TRACE(key);
        ExpectInvalidField(SetText(error.get(), key, "x"), 0x2fecca9a);
        EXPECT_EQ(Render(error.get()), before);
    }
    for (int category : {2, 5, -1}) {
        SCOPED_TRACE(category);
        ExpectInvalidField(SetInt(error.get(), KELVO_ERROR_FIELD_ERROR_CATEGORY, category), 0x2fecca9a);
        EXPECT_EQ(Render(error.get()), before);
    }
    for (int key : {9, 100, -1}) {
        SCOPED_TRACE(key);
        kelvo_error_field_value value{};
        value.discriminator = 42;
        value.value.uinteger = 4242;
        ExpectInvalidField(kelvo_error_get_field(error.get(), Key(key), &value), 0x311af7e6);
        EXPECT_EQ(value.discriminator, 42);
        EXPECT_EQ(value.value.uinteger, 4242u);
    }
}

TEST(ErrorFunctions, CausesAreOwnedReplacedAndRemoved) {
    ErrorPtr error(kelvo_error_create(1));
    kelvo_error_t* first = kelvo_error_create(2);
    ASSERT_EQ(SetPointer(error.get(), KELVO_ERROR_FIELD_CAUSE, first), nullptr);
    EXPECT_EQ(Get(error.get(), KELVO_ERROR_FIELD_CAUSE).value.pointer, first);
    // Setting the same cause again must neither free nor change it.
    ASSERT_EQ(SetPointer(error.get(), KELVO_ERROR_FIELD_CAUSE, first), nullptr);
    EXPECT_EQ(Get(error.get(), KELVO_ERROR_FIELD_CAUSE).value.pointer, first);
    EXPECT_EQ(Get(first, KELVO_ERROR_FIELD_CONTEXT_ID).value.uinteger, 2u);

    kelvo_error_t* grandCause = kelvo_error_create(3);
    ASSERT_EQ(SetPointer(first, KELVO_ERROR_FIELD_CAUSE, grandCause), nullptr);
    // Links of the own chain (and the error itself) are refused; the chain stays.
    for (kelvo_error_t* inChain : {grandCause, error.get()}) {
        ExpectInvalidField(SetPointer(error.get(), KELVO_ERROR_FIELD_CAUSE, inChain), 0x2fecca9a);
        EXPECT_EQ(Get(error.get(), KELVO_ERROR_FIELD_CAUSE).value.pointer, first);
        EXPECT_EQ(Get(first, KELVO_ERROR_FIELD_CAUSE).value.pointer, grandCause);
    }

    // Replacing frees the previous chain (the leak checker sees it otherwise).
    kelvo_error_t* second = kelvo_error_create(4);
    ASSERT_EQ(SetPointer(error.get(), KELVO_ERROR_FIELD_CAUSE, second), nullptr);
    EXPECT_EQ(Get(error.get(), KELVO_ERROR_FIELD_CAUSE).value.pointer, second);
    EXPECT_EQ(Render(error.get()),
              "Code: sqlstate:00000\nSeverity: ERROR\nContext id: 0x1\n\nCAUSED BY\n"
              "Code: sqlstate:00000\nSeverity: ERROR\nContext id: 0x4\n");

    ASSERT_EQ(SetPointer(error.get(), KELVO_ERROR_FIELD_CAUSE, nullptr), nullptr);
    EXPECT_EQ(Get(error.get(), KELVO_ERROR_FIELD_CAUSE).value.pointer, nullptr);
}

TEST(ErrorFunctions, AHundredThousandCausesAreBuiltCopiedRenderedAndFreed) {
    kelvo_error_t* head = kelvo_error_create(0);
    for (uint32_t i = 1; i < 100000; ++i) {
        kelvo_error_t* next = kelvo_error_create(i);
        ASSERT_EQ(SetPointer(next, KELVO_ERROR_FIELD_CAUSE, head), nullptr);
        head = next;
    }
    ErrorPtr chain(head);
    kelvo_error_destroy(nullptr);
    // Refusing a link deep in the chain walks it without recursion, too.
    kelvo_error_t* deep = head;
    for (int i = 0; i < 99999; ++i) deep = static_cast<kelvo_error_t*>(Get(deep, KELVO_ERROR_FIELD_CAUSE).value.pointer);
    ExpectInvalidField(SetPointer(head, KELVO_ERROR_FIELD_CAUSE, deep), 0x2fecca9a);

    const kelvoapi::Error copy = *static_cast<const kelvoapi::Error*>(head);
    const std::string text = kelvoapi::ToString(copy);
    EXPECT_EQ(text.substr(text.size() - 16), "Context id: 0x0\n");
    EXPECT_NE(text.find("Context id: 0x1869f\n"), std::string::npos);
}

}  // namespace
