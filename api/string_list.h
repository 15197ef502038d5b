// The string list handed out by the catalog functions: an ordered list of
// owned strings behind the C handle kelvo_string_list_t. The caller owns the
// list (kelvo_string_list_destroy frees it); the list owns its texts.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "kelvo/string_list.h"

struct kelvo_string_list_t {
    std::vector<std::string> strings;
};
