#include "common/Unicode.h"

#include <cstdint>
#include <cstring>

namespace tavrin {

std::size_t decodeUTF8(std::string_view text, std::size_t i, char32_t& codePoint) {
    if (i >= text.size())
        return 0;
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i);
    std::size_t length;
    char32_t minimum;
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, minimum = 0x80, codePoint = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, minimum = 0x800, codePoint = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, minimum = 0x10000, codePoint = lead & 0x07;
    } else {
        return 0;
    }
    if (text.size() - i < length)
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        codePoint = (codePoint << 6) | (byte(i + k) & 0x3F);
    }
    if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
        return 0;
    return length;
}

bool isValidUTF8(std::string_view text) {
    char32_t codePoint;
    for (std::size_t i = 0; i < text.size();) {
        // ASCII runs are the common case: skip them without decoding, eight
        // bytes at a time where they fit (large marker lists are checked whole).
        if (i + 8 <= text.size()) {
            std::uint64_t word;
            std::memcpy(&word, text.data() + i, 8);
            if ((word & 0x8080808080808080ull) == 0) {
                i += 8;
                continue;
            }
        }
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = decodeUTF8(text, i, codePoint);
        if (length == 0)
            return false;
        i += length;
    }
    return true;
}

bool isUnicodeWhiteSpace(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

std::string_view trimUnicodeWhiteSpace(std::string_view text) {
    std::size_t begin = 0;
    while (std::size_t length = whiteSpaceLengthAt(text, begin))
        begin += length;
    std::size_t end = text.size();
    while (end > begin) {
        std::size_t start = end - 1;
        while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80)
            --start;
        if (whiteSpaceLengthAt(text.substr(0, end), start) != end - start)
            break;
        end = start;
    }
    return text.substr(begin, end - begin);
}

bool isXMLText(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        char32_t c = 0;
        const std::size_t length = decodeUTF8(text, i, c);
        if (length == 0 || !isXMLCharacter(c))
            return false;
        i += length;
    }
    return true;
}

} // namespace tavrin
