#pragma once
// The review workspace page's files (page/ in the source tree), compiled into
// the program so it serves them wherever it is run from.

#include <cstddef>
#include <string_view>

namespace tavrin::service {

struct PageAsset {
    const char* name; // file name, e.g. "panel.js"
    const char* contentType;
    const char* data;
    std::size_t size;
};

// The file of that name; null when there is none.
const PageAsset* findPageAsset(std::string_view name);

} // namespace tavrin::service
