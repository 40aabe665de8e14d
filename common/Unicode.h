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
// (also for a malformed sequence or i past the end). Inline, with ASCII first:
// readers of large documents call it on every space between attributes.
inline std::size_t whiteSpaceLengthAt(std::string_view text, std::size_t i) {
    if (i >= text.size())
        return 0;
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80)
        return c == ' ' || (c >= 0x09 && c <= 0x0D) ? 1 : 0;
    char32_t codePoint;
    const std::size_t length = decodeUTF8(text, i, codePoint);
    return length != 0 && isUnicodeWhiteSpace(codePoint) ? length : 0;
}

// Whether a code point is a character XML 1.0 can carry: tab, line feed,
// carriage return, and U+0020 on but for surrogates, U+FFFE and U+FFFF.
inline bool isXMLCharacter(char32_t c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// Whether text is well-formed UTF-8 made only of characters XML 1.0 can carry.
bool isXMLText(std::string_view text);

// text without the Unicode white space at either end. text must be valid UTF-8.
std::string_view trimUnicodeWhiteSpace(std::string_view text);

} // namespace tavrin
