#pragma once
// UTF-8 and Unicode white space: one definition of each for the whole program.

#include <cstddef>
#include <string_view>

namespace tavrin {

// Decodes the UTF-8 sequence at text[i] into codePoint; returns its length, or
// 0 when it is malformed (overlong, a surrogate, beyond U+10FFFF, truncated).
std::size_t decodeUTF8(std::string_view text, std::size_t i, char32_t& codePoint);

// Whether text is well-formed UTF-8 (NUL characters included).
bool isValidUTF8(std::string_view text);

// The Unicode White_Space property: tab to carriage return, space, U+0085,
// U+00A0, U+1680, U+2000-U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
// (Spaces and line ends alike.)
bool isUnicodeWhiteSpace(char32_t codePoint);

// Length in bytes of the white-space character that starts at text[i], or 0
// (also for a malformed sequence or i past the end).
std::size_t whiteSpaceLengthAt(std::string_view text, std::size_t i);

// text without the Unicode white space at either end. text must be valid UTF-8.
std::string_view trimUnicodeWhiteSpace(std::string_view text);

} // namespace tavrin
