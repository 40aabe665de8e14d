#pragma once
// The text of an errno value, for messages that say why a system call failed.

#include <string>
#include <system_error>

namespace tavrin {

inline std::string errnoText(int error) {
    return std::error_code(error, std::generic_category()).message();
}

} // namespace tavrin
