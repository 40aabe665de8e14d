#pragma once
// Base64 with the standard alphabet and padding, no line breaks.
// Pure; may be called from any thread.

#include <string>
#include <string_view>

namespace tavrin {

// Encodes arbitrary bytes.
std::string base64Encode(std::string_view bytes);

} // namespace tavrin
