// The string list functions of the C interface.
#include "api/string_list.h"

size_t kelvo_string_list_size(const kelvo_string_list_t* string_list) {
    return string_list == nullptr ? 0 : string_list->strings.size();
}

const char* kelvo_string_list_at(const kelvo_string_list_t* string_list, int index) {
    // A bad index from C would otherwise read outside the vector.
    if (string_list == nullptr || index < 0 || static_cast<size_t>(index) >= string_list->strings.size())
        return nullptr;
    return string_list->strings[static_cast<size_t>(index)].c_str();
}

void kelvo_string_list_destroy(kelvo_string_list_t* string_list) { delete string_list; }
