// String lists as the catalog functions hand them to a C caller.
#include "api/string_list.h"

#include <gtest/gtest.h>

namespace {

TEST(StringList, SizeAndTextsAndBadIndexes) {
    struct Case {
        std::vector<std::string> strings;
    };
    const Case cases[] = {{{}}, {{"main"}}, {{"public", "", "a long schema name with \xc3\xa9"}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.strings.size());
        auto* list = new kelvo_string_list_t{c.strings};
        ASSERT_EQ(kelvo_string_list_size(list), c.strings.size());
        for (size_t i = 0; i < c.strings.size(); ++i) {
            const char* text = kelvo_string_list_at(list, static_cast<int>(i));
            ASSERT_NE(text, nullptr);
            EXPECT_EQ(std::string(text), c.strings[i]);
            // The text stays at the same place while the list lives.
            EXPECT_EQ(kelvo_string_list_at(list, static_cast<int>(i)), text);
        }
        for (int bad : {-1, static_cast<int>(c.strings.size()), static_cast<int>(c.strings.size()) + 5, INT32_MIN})
            EXPECT_EQ(kelvo_string_list_at(list, bad), nullptr) << bad;
        kelvo_string_list_destroy(list);
    }
    kelvo_string_list_destroy(nullptr);
}

}  // namespace
