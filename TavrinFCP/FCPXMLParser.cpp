#include "TavrinFCP/FCPXMLParser.h"

#include "common/Unicode.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <thread>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tavrin::container {

namespace {

constexpr std::size_t npos = std::string_view::npos;

// Position of the next "<m" or "<M" at or after `from`, or npos. Every marker
// element starts this way, so the scan skips everything else quickly.
std::size_t findTagOpen(const char* d, std::size_t from, std::size_t n) {
    std::size_t i = from;
#if defined(__SSE2__)
    const __m128i lt = _mm_set1_epi8('<');
    const __m128i m = _mm_set1_epi8('m');
    const __m128i lower = _mm_set1_epi8(0x20);
    while (i + 33 <= n) {
        const __m128i a0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
        const __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i + 1));
        const __m128i a1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i + 16));
        const __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i + 17));
        const unsigned mask0 = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_and_si128(_mm_cmpeq_epi8(a0, lt), _mm_cmpeq_epi8(_mm_or_si128(b0, lower), m))));
        const unsigned mask1 = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_and_si128(_mm_cmpeq_epi8(a1, lt), _mm_cmpeq_epi8(_mm_or_si128(b1, lower), m))));
        const unsigned mask = mask0 | (mask1 << 16);
        if (mask != 0)
            return i + static_cast<std::size_t>(__builtin_ctz(mask));
        i += 32;
    }
#endif
    for (; i + 1 < n; ++i) {
        if (d[i] == '<' && (static_cast<unsigned char>(d[i + 1]) | 0x20) == 'm')
            return i;
    }
    return npos;
}

bool isLetter(const char* d, std::size_t i, std::size_t n, char lowerCase) {
    return i < n &&
           (static_cast<unsigned char>(d[i]) | 0x20) == static_cast<unsigned char>(lowerCase);
}

// Length in bytes of the white-space character at i, or 0: Unicode white
// space, as the platform's regular expressions read "\\s".
std::size_t whiteSpaceLength(const char* d, std::size_t i, std::size_t n) {
    return whiteSpaceLengthAt(std::string_view(d, n), i);
}

// If "<marker" followed by white space starts at i (i holds "<" and i+1 an
// "m" in either case), the position just after the white-space run; else npos.
// Letters match case-insensitively with full case folding, which adds only the
// Kelvin sign (U+212A) as a "k".
std::size_t afterMarkerName(const char* d, std::size_t i, std::size_t n) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // The usual "<marker " (any case) and ASCII white space, eight bytes at once.
    if (n - i >= 9) {
        std::uint64_t word = 0;
        std::memcpy(&word, d + i, 8);
        static constexpr std::uint64_t kLetters = 0x0000202020202000u; // bytes 1 to 6
        static constexpr std::uint64_t kMarker = 0x000072656b72616du << 8 | '<';
        const auto next = static_cast<unsigned char>(d[i + 7]);
        if (((word | kLetters) & 0x00FFFFFFFFFFFFFFu) == kMarker &&
            (next == ' ' || (next >= 0x09 && next <= 0x0D))) {
            std::size_t p = i + 8;
            while (p < n) {
                const auto c = static_cast<unsigned char>(d[p]);
                if (c == ' ' || (c >= 0x09 && c <= 0x0D))
                    ++p;
                else if (c < 0x80)
                    return p;
                else if (const std::size_t len = whiteSpaceLength(d, p, n); len != 0)
                    p += len;
                else
                    return p;
            }
            return p;
        }
    }
#endif
    std::size_t p = i + 2;
    if (!isLetter(d, p, n, 'a') || !isLetter(d, p + 1, n, 'r'))
        return npos;
    p += 2;
    if (isLetter(d, p, n, 'k')) {
        p += 1;
    } else if (p + 2 < n && static_cast<unsigned char>(d[p]) == 0xE2 &&
               static_cast<unsigned char>(d[p + 1]) == 0x84 &&
               static_cast<unsigned char>(d[p + 2]) == 0xAA) {
        p += 3;
    } else {
        return npos;
    }
    if (!isLetter(d, p, n, 'e') || !isLetter(d, p + 1, n, 'r'))
        return npos;
    p += 2;
    std::size_t start = p;
    while (p < n) {
        const std::size_t len = whiteSpaceLength(d, p, n);
        if (len == 0)
            break;
        p += len;
    }
    return p == start ? npos : p;
}

const char* findByte(const char* d, std::size_t from, std::size_t n, char c) {
    return from >= n ? nullptr : static_cast<const char*>(std::memchr(d + from, c, n - from));
}

// The first position at or after j that holds a, b, c or e; n if none.
std::size_t findAnyOf(const char* d, std::size_t j, std::size_t n, char a, char b, char c, char e) {
#if defined(__SSE2__)
    const __m128i va = _mm_set1_epi8(a);
    const __m128i vb = _mm_set1_epi8(b);
    const __m128i vc = _mm_set1_epi8(c);
    const __m128i ve = _mm_set1_epi8(e);
    while (j + 16 <= n) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + j));
        const __m128i hit =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, va), _mm_cmpeq_epi8(x, vb)),
                         _mm_or_si128(_mm_cmpeq_epi8(x, vc), _mm_cmpeq_epi8(x, ve)));
        const auto mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
        if (mask != 0)
            return j + static_cast<std::size_t>(__builtin_ctz(mask));
        j += 16;
    }
#endif
    for (; j < n; ++j) {
        const char x = d[j];
        if (x == a || x == b || x == c || x == e)
            return j;
    }
    return n;
}

// What one pass over the text of an element finds: its first ">", whether the
// text before it is plain (no single quote, an even number of double quotes),
// and where its double quotes are. In a plain element the first ">" is the
// end (see elementEnd), and the quotes pair up as the delimiters of the values
// in document order, so its attributes can be read without a second pass.
struct ElementScan {
    static constexpr std::size_t kMaxQuotes = 16; // four attributes and some to spare
    std::size_t end = npos;                       // the first ">", or npos
    bool plain = false;
    // Whether a "[" or "#" stands before the end. Without either, no value in
    // the element decodes to text that starts with the tag (the named entities
    // give no "[", a character reference holds a "#"), so the reader passes a
    // plain element without them over, its attributes unread.
    bool mayBeTagged = true;
    std::size_t quoteCount = 0;     // all double quotes before end
    std::size_t quotes[kMaxQuotes]; // positions of the first kMaxQuotes of them (not zeroed: hot)
};

// Adds the quotes of a block's mask (bit k: position base + k) to the scan.
inline void recordQuotes(ElementScan& scan, unsigned mask, std::size_t base) {
    while (mask != 0) {
        if (scan.quoteCount < ElementScan::kMaxQuotes)
            scan.quotes[scan.quoteCount] = base + static_cast<std::size_t>(__builtin_ctz(mask));
        ++scan.quoteCount;
        mask &= mask - 1;
    }
}

// Scans an element's text from s to its first ">" (see ElementScan).
void scanElement(const char* d, std::size_t s, std::size_t n, ElementScan& scan) {
    unsigned single = 0;
    std::size_t i = s;
#if defined(__SSE2__)
    // 32 bytes a step: one branch for the usual stretch of a long value.
    const __m128i gt = _mm_set1_epi8('>');
    const __m128i dq = _mm_set1_epi8('"');
    const __m128i sq = _mm_set1_epi8('\'');
    const __m128i bracket = _mm_set1_epi8('[');
    const __m128i hash = _mm_set1_epi8('#');
    auto bits = [](__m128i x, __m128i y, __m128i c) {
        return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, c))) |
               static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(y, c))) << 16;
    };
    // Single quotes, "[" and "#" matter only as "any before the end": they
    // are gathered as vectors, one mask each taken at the end.
    __m128i singles = _mm_setzero_si128();
    __m128i hints = _mm_setzero_si128();
    while (i + 32 <= n) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
        const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i + 16));
        // The reading does enough per element that the hardware prefetcher
        // falls behind on a long document; ask for the text 1 KiB ahead.
        _mm_prefetch(d + i + 1024, _MM_HINT_T0);
        const unsigned g = bits(x, y, gt);
        const unsigned q = bits(x, y, dq);
        const __m128i sx = _mm_cmpeq_epi8(x, sq);
        const __m128i sy = _mm_cmpeq_epi8(y, sq);
        const __m128i hx = _mm_or_si128(_mm_cmpeq_epi8(x, bracket), _mm_cmpeq_epi8(x, hash));
        const __m128i hy = _mm_or_si128(_mm_cmpeq_epi8(y, bracket), _mm_cmpeq_epi8(y, hash));
        if (g != 0) {
            const unsigned below = (g & (0u - g)) - 1;
            auto mask = [](__m128i lo, __m128i hi) {
                return static_cast<unsigned>(_mm_movemask_epi8(lo)) |
                       static_cast<unsigned>(_mm_movemask_epi8(hi)) << 16;
            };
            recordQuotes(scan, q & below, i);
            single = (mask(sx, sy) & below) | static_cast<unsigned>(_mm_movemask_epi8(singles));
            const unsigned hint =
                (mask(hx, hy) & below) | static_cast<unsigned>(_mm_movemask_epi8(hints));
            scan.end = i + static_cast<std::size_t>(__builtin_ctz(g));
            scan.plain = single == 0 && scan.quoteCount % 2 == 0;
            scan.mayBeTagged = hint != 0;
            return;
        }
        recordQuotes(scan, q, i);
        singles = _mm_or_si128(singles, _mm_or_si128(sx, sy));
        hints = _mm_or_si128(hints, _mm_or_si128(hx, hy));
        i += 32;
    }
    single = static_cast<unsigned>(_mm_movemask_epi8(singles));
#endif
    for (; i < n; ++i) {
        const char c = d[i];
        if (c == '>') {
            scan.end = i;
            scan.plain = single == 0 && scan.quoteCount % 2 == 0;
            return;
        }
        if (c == '"')
            recordQuotes(scan, 1, i);
        single |= c == '\'' ? 1 : 0;
    }
}

// The ">" that ends an element whose attribute text starts at s, or npos.
//
// The element ends at the first ">" outside a quoted value. A quoted value
// opens at a double or single quote and closes at the next quote of the same
// kind. A raw "<" stands neither inside an XML attribute value nor inside a
// tag, so when a "<" comes first (inside a value or not), or the document ends
// first, the element is malformed and ends at its first ">", quoted or not.
// Text without a ">" inside its quoted values is therefore cut exactly at its
// first ">", and a ">" inside a value no longer cuts a well-formed element.
//
// Cost: the scan never passes the next "<", and the caller resumes after the
// returned ">", so no byte is scanned more than a few times in all.
// scan is scanElement's pass over the same text.
std::size_t elementEnd(const char* d, std::size_t s, std::size_t n, const ElementScan& scan) {
    if (scan.end == npos)
        return npos;
    // The usual element: double-quoted values only, none holding a ">". Then
    // the first ">" stands outside every quoted value, and it is the end.
    if (scan.plain)
        return scan.end;
    const char* first = d + scan.end;
    std::size_t j = s;
    while (true) {
        j = findAnyOf(d, j, n, '>', '<', '"', '\'');
        if (j >= n || d[j] == '<')
            break;
        const char c = d[j];
        if (c == '>')
            return j;
        const std::size_t k = findAnyOf(d, j + 1, n, c, '<', c, c);
        if (k >= n || d[k] == '<')
            break;
        j = k + 1;
    }
    return static_cast<std::size_t>(first - d);
}

std::size_t elementEnd(const char* d, std::size_t s, std::size_t n) {
    ElementScan scan;
    scanElement(d, s, n, scan);
    return elementEnd(d, s, n, scan);
}

// Reads the attributes of an element's attribute text in order, as XML writes
// them: a whole name (it starts the text, follows white space or follows the
// closing quote of the value before), optional white space, "=", optional
// white space, and a value in double or single quotes. For every k, values[k]
// becomes the raw (undecoded) value of the first attribute called names[k].
// Text that is no attribute (a word without "=", an unquoted value) is passed
// over; a value whose quote is never closed ends the reading, since nothing
// after its opening quote can be told apart from the value.
// Byte classes for reading attributes: white space, "=", a lead byte that may
// start a white-space character beyond ASCII, or anything else (a name byte).
enum ByteClass : unsigned char { kOther, kSpace, kEquals, kMaybeSpace };
constexpr std::array<unsigned char, 256> kByteClass = [] {
    std::array<unsigned char, 256> table{};
    for (int c : {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20})
        table[static_cast<std::size_t>(c)] = kSpace;
    table['='] = kEquals;
    for (int c : {0xC2, 0xE1, 0xE2, 0xE3})
        table[static_cast<std::size_t>(c)] = kMaybeSpace;
    return table;
}();

// The length of the white-space character at i (i < n), or 0.
inline std::size_t spaceAt(const char* d, std::size_t i, std::size_t n) {
    const unsigned char cls = kByteClass[static_cast<unsigned char>(d[i])];
    if (cls == kSpace)
        return 1;
    return cls == kMaybeSpace ? whiteSpaceLength(d, i, n) : 0;
}

inline std::size_t skipSpace(const char* d, std::size_t i, std::size_t n) {
    while (i < n) {
        const std::size_t len = spaceAt(d, i, n);
        if (len == 0)
            break;
        i += len;
    }
    return i;
}

inline bool sameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t k = 0; k < a.size(); ++k) {
        if (a[k] != b[k])
            return false;
    }
    return true;
}

// Reads the attributes of an element's attribute text in order, as XML writes
// them: a whole name (it starts the text, follows white space or follows the
// closing quote of the value before), optional white space, "=", optional
// white space, and a value in double or single quotes. For every k, values[k]
// becomes the raw (undecoded) value of the first attribute called names[k].
// Text that is no attribute (a word without "=", an unquoted value) is passed
// over; a value whose quote is never closed ends the reading, since nothing
// after its opening quote can be told apart from the value.
template <std::size_t N>
void rawAttrs(std::string_view attributes, const std::string_view (&names)[N],
              std::optional<std::string_view> (&values)[N]) {
    const char* d = attributes.data();
    const std::size_t n = attributes.size();
    std::size_t missing = N;
    std::size_t i = 0;
    while (missing > 0) {
        i = skipSpace(d, i, n);
        if (i >= n)
            return;
        const std::size_t nameStart = i;
        while (i < n) {
            const unsigned char cls = kByteClass[static_cast<unsigned char>(d[i])];
            if (cls == kOther || (cls == kMaybeSpace && whiteSpaceLength(d, i, n) == 0))
                ++i;
            else
                break;
        }
        const std::string_view name(d + nameStart, i - nameStart);
        std::size_t j = skipSpace(d, i, n);
        if (j >= n || d[j] != '=') {
            i = j; // a word without a value
            continue;
        }
        j = skipSpace(d, j + 1, n);
        if (j >= n)
            return;
        const char quote = d[j];
        if (quote != '"' && quote != '\'') {
            while (j < n && spaceAt(d, j, n) == 0)
                ++j; // an unquoted value: not XML, passed over
            i = j;
            continue;
        }
        const std::size_t close = findAnyOf(d, j + 1, n, quote, quote, quote, quote);
        if (close >= n)
            return;
        for (std::size_t k = 0; k < N; ++k) {
            if (!values[k] && sameText(name, names[k])) {
                values[k] = attributes.substr(j + 1, close - j - 1);
                --missing;
            }
        }
        i = close + 1;
    }
}

// The names of the marker attributes the reader needs, in the order of the
// values it reads them into.
constexpr std::string_view kMarkerNames[] = {"note", "start", "duration", "value"};

// Which of kMarkerNames the name before the "=" at `equals` is, when only
// ASCII white space stands between `from` and that name; -1 otherwise. The
// names are told apart by their last letter and compared at fixed lengths.
inline int knownMarkerName(const char* d, std::size_t from, std::size_t equals) {
    const std::size_t room = equals - from;
    const char* e = d + equals;
    int slot = -1;
    std::size_t length = 0;
    if (room == 0)
        return -1;
    switch (e[-1]) {
    case 'e':
        if (room >= 4 && std::memcmp(e - 4, "note", 4) == 0)
            slot = 0, length = 4;
        else if (room >= 5 && std::memcmp(e - 5, "value", 5) == 0)
            slot = 3, length = 5;
        break;
    case 't':
        if (room >= 5 && std::memcmp(e - 5, "start", 5) == 0)
            slot = 1, length = 5;
        break;
    case 'n':
        if (room >= 8 && std::memcmp(e - 8, "duration", 8) == 0)
            slot = 2, length = 8;
        break;
    default:
        break;
    }
    for (std::size_t p = from; slot >= 0 && p < equals - length; ++p) {
        if (kByteClass[static_cast<unsigned char>(d[p])] != kSpace)
            return -1;
    }
    return slot;
}

// Reads the marker attributes of a plain element (see scanElement) from the
// quotes its scan found, without another pass over the values. It reads only
// the form XML writers write: optional ASCII white space, a name of ASCII
// bytes, and "=" right before the opening double quote. For that form rawAttrs
// reads the same values, so any other text, up to the point where all four
// are found, answers false and leaves the reading to rawAttrs.
bool plainMarkerAttrs(const char* d, std::size_t s, const ElementScan& scan,
                      std::optional<std::string_view> (&values)[4]) {
    if (scan.quoteCount > ElementScan::kMaxQuotes)
        return false;
    std::size_t from = s;
    unsigned missing = 4;
    for (std::size_t k = 0; k + 1 < scan.quoteCount && missing > 0; k += 2) {
        const std::size_t open = scan.quotes[k];
        const std::size_t close = scan.quotes[k + 1];
        if (open <= from || d[open - 1] != '=')
            return false;
        const std::size_t equals = open - 1;
        // The writers' usual form first: one space (none before the first
        // attribute) and one of the names, told apart by its length.
        const std::size_t nameAt = from + (d[from] == ' ' ? 1 : 0);
        int slot = -1;
        switch (equals - nameAt) {
        case 4:
            slot = std::memcmp(d + nameAt, "note", 4) == 0 ? 0 : -1;
            break;
        case 5:
            slot = std::memcmp(d + nameAt, "start", 5) == 0   ? 1
                   : std::memcmp(d + nameAt, "value", 5) == 0 ? 3
                                                              : -1;
            break;
        case 8:
            slot = std::memcmp(d + nameAt, "duration", 8) == 0 ? 2 : -1;
            break;
        default:
            break;
        }
        if (slot < 0)
            slot = knownMarkerName(d, from, equals);
        if (slot < 0) {
            // Another name (or another form): check that it is a whole name
            // of ASCII name bytes after white space, as rawAttrs reads it.
            auto byteClass = [&](std::size_t p) {
                const auto c = static_cast<unsigned char>(d[p]);
                return c < 0x80 ? kByteClass[c] : static_cast<unsigned char>(kMaybeSpace);
            };
            std::size_t p = from;
            while (p < equals && byteClass(p) == kSpace)
                ++p;
            const std::size_t nameStart = p;
            while (p < equals && byteClass(p) == kOther)
                ++p;
            if (p != equals)
                return false;
            const std::string_view name(d + nameStart, equals - nameStart);
            for (std::size_t n = 0; n < 4; ++n)
                slot = name == kMarkerNames[n] ? static_cast<int>(n) : slot;
        }
        if (slot >= 0 && !values[slot]) {
            values[slot] = std::string_view(d + open + 1, close - open - 1);
            --missing;
        }
        from = close + 1;
    }
    return true;
}

std::size_t putUTF8(char* out, std::uint32_t c) {
    if (c < 0x80) {
        out[0] = static_cast<char>(c);
        return 1;
    }
    if (c < 0x800) {
        out[0] = static_cast<char>(0xC0 | (c >> 6));
        out[1] = static_cast<char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (c >> 12));
        out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (c >> 18));
    out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (c & 0x3F));
    return 4;
}

// The reference at the start of text ("&" there): one of the five named
// entities, or a decimal ("&#10;") or hexadecimal ("&#xEB;") character
// reference to a character XML can carry. Writes its UTF-8 text to out and
// returns {reference length, text length}, or {0, 0} when there is none. The
// text is never longer than the reference.
std::pair<std::size_t, std::size_t> referenceAt(std::string_view text, char* out) {
    const std::size_t n = text.size();
    if (n < 4)
        return {0, 0};
    auto named = [&](std::string_view entity, char c) -> std::pair<std::size_t, std::size_t> {
        if (!text.starts_with(entity))
            return {0, 0};
        out[0] = c;
        return {entity.size(), 1};
    };
    switch (text[1]) {
    case 'l':
        return named("&lt;", '<');
    case 'g':
        return named("&gt;", '>');
    case 'q':
        return named("&quot;", '"');
    case 'a':
        return text[2] == 'm' ? named("&amp;", '&') : named("&apos;", '\'');
    case '#':
        break;
    default:
        return {0, 0};
    }
    std::size_t i = 2;
    const bool hex = text[i] == 'x';
    if (hex)
        ++i;
    std::uint64_t code = 0;
    const std::size_t first = i;
    // Leading zeros are allowed in any number ("&#0000000065;" is "A"); they
    // do not count towards the digits that bound the value.
    while (i < n && text[i] == '0')
        ++i;
    const std::size_t significant = i;
    for (; i < n && i - significant < 10; ++i) {
        const char c = text[i];
        unsigned digit = 0;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (hex && c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else if (hex && c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else
            break;
        code = code * (hex ? 16 : 10) + digit;
    }
    if (i == first || i >= n || text[i] != ';' || code > 0x10FFFF ||
        !isXMLCharacter(static_cast<char32_t>(code)))
        return {0, 0};
    return {i + 1, putUTF8(out, static_cast<std::uint32_t>(code))};
}

std::size_t decodeWithin(char* out, std::string_view raw, const char* limit);

std::string decodeReferences(std::string_view raw) {
    std::string out(raw.size(), '\0');
    out.resize(decodeWithin(out.data(), raw, raw.data() + raw.size()));
    return out;
}

// The byte of "%HH" (hexadecimal digits in either case) at the start of
// text, or -1.
int escapedByteAt(std::string_view text) {
    const auto hex = [](char c) {
        c = static_cast<char>(c | 0x20);
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    if (text.size() < 3 || text[0] != '%')
        return -1;
    const int high = hex(text[1]), low = hex(text[2]);
    return high < 0 || low < 0 ? -1 : high * 16 + low;
}

// The escape of an identifier character in the tag at the start of text, as
// the writer makes them: "%3A" ":", "%5D" "]", "%25" "%", "%01" and the like
// for a control character XML cannot carry, "%EF%BF%BE" and "%EF%BF%BF" for
// U+FFFE and U+FFFF. Writes the character's bytes to out and returns the
// length of the escape, or 0 (writing nothing) when none starts there.
std::size_t identifierEscapeAt(std::string_view text, char* out) {
    const int byte = escapedByteAt(text);
    const bool control = byte >= 0 && byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r';
    if (byte == ':' || byte == ']' || byte == '%' || control) {
        out[0] = static_cast<char>(byte);
        return 3;
    }
    const int last =
        byte == 0xEF && escapedByteAt(text.substr(3)) == 0xBF ? escapedByteAt(text.substr(6)) : -1;
    if (last != 0xBE && last != 0xBF)
        return 0;
    out[0] = '\xEF';
    out[1] = '\xBF';
    out[2] = static_cast<char>(last);
    return 9;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// A decimal number, all of the text: optional sign, digits with an optional
// fraction (at least one digit), optional exponent. Nothing else (no white
// space, hexadecimal, infinity or not-a-number) and nothing out of the range
// of a double.
std::optional<double> parseDecimal(std::string_view text) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    if (i < n && (text[i] == '+' || text[i] == '-'))
        ++i;
    std::size_t digits = 0;
    while (i < n && isDigit(text[i])) {
        ++i;
        ++digits;
    }
    if (i < n && text[i] == '.') {
        ++i;
        while (i < n && isDigit(text[i])) {
            ++i;
            ++digits;
        }
    }
    if (digits == 0)
        return std::nullopt;
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < n && (text[i] == '+' || text[i] == '-'))
            ++i;
        std::size_t expDigits = 0;
        while (i < n && isDigit(text[i])) {
            ++i;
            ++expDigits;
        }
        if (expDigits == 0)
            return std::nullopt;
    }
    if (i != n)
        return std::nullopt;
    // from_chars takes no leading "+"; the grammar above already checked it.
    const std::string_view digitsText = text[0] == '+' ? text.substr(1) : text;
    double value = 0;
    const auto [end, ec] =
        std::from_chars(digitsText.data(), digitsText.data() + digitsText.size(), value);
    if (ec != std::errc() || end != digitsText.data() + digitsText.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

} // namespace

std::string FCPXMLParser::extractAttr(std::string_view attributes, std::string_view name) {
    const std::string_view names[] = {name};
    std::optional<std::string_view> raw[1];
    rawAttrs(attributes, names, raw);
    return raw[0] ? decodeReferences(*raw[0]) : std::string();
}

namespace {

// The run of at most 15 decimal digits at p, before end, as an integer (exact
// as a double), advancing p past it; false when there is no digit or the run
// is longer. Bytes up to limit (>= end) may be read.
inline bool shortDigits(const char*& p, const char* end, const char* limit, std::int64_t& value) {
    const char* start = p;
    std::uint64_t digits = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // Eight bytes at a time: the run's length from where its first non-digit
    // is, and its value by three multiplications, with no branch per digit
    // (the lengths of times vary, so a loop's end is hard to predict).
    static constexpr std::uint64_t kPowers[] = {1,      10,      100,      1000,     10000,
                                                100000, 1000000, 10000000, 100000000};
    while (limit - p >= 8) {
        std::uint64_t chunk = 0;
        std::memcpy(&chunk, p, 8);
        // A byte is a digit when its high half is 3 and stays 3 when 6 is added.
        const std::uint64_t notDigit =
            ((chunk & 0xF0F0F0F0F0F0F0F0u) ^ 0x3030303030303030u) |
            (((chunk + 0x0606060606060606u) & 0xF0F0F0F0F0F0F0F0u) ^ 0x3030303030303030u);
        std::size_t run =
            notDigit == 0 ? 8 : static_cast<std::size_t>(__builtin_ctzll(notDigit)) / 8;
        run = std::min(run, static_cast<std::size_t>(end - p));
        if (run == 0)
            break;
        // The run's digits to the high bytes: the zero bytes below read as
        // leading zeros.
        if (run < 8)
            chunk <<= 8 * (8 - run);
        chunk = ((chunk & 0x0F0F0F0F0F0F0F0Fu) * 2561) >> 8;
        chunk = ((chunk & 0x00FF00FF00FF00FFu) * 6553601) >> 16;
        chunk = ((chunk & 0x0000FFFF0000FFFFu) * 42949672960001u) >> 32;
        digits = digits * kPowers[run] + chunk;
        p += run;
        if (run < 8) {
            value = static_cast<std::int64_t>(digits);
            return p - start <= 15;
        }
    }
#endif
    while (p < end) {
        const unsigned digit = static_cast<unsigned char>(*p) - unsigned{'0'};
        if (digit > 9)
            break;
        digits = digits * 10 + digit;
        ++p;
    }
    value = static_cast<std::int64_t>(digits);
    return p != start && p - start <= 15;
}

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
// The value of eight digit bytes (as loaded, the first in the low byte); zero
// bytes in the low end read as leading zeros.
inline std::uint64_t eightDigits(std::uint64_t chunk) {
    chunk = ((chunk & 0x0F0F0F0F0F0F0F0Fu) * 2561) >> 8;
    chunk = ((chunk & 0x00FF00FF00FF00FFu) * 6553601) >> 16;
    return ((chunk & 0x0000FFFF0000FFFFu) * 42949672960001u) >> 32;
}

// A bit set in every byte of chunk that is not an ASCII digit.
inline std::uint64_t notDigits(std::uint64_t chunk) {
    return ((chunk & 0xF0F0F0F0F0F0F0F0u) ^ 0x3030303030303030u) |
           (((chunk + 0x0606060606060606u) & 0xF0F0F0F0F0F0F0F0u) ^ 0x3030303030303030u);
}

// shortDigits when 16 bytes from p may be read: the whole run from two loads,
// without a loop or a branch on its length.
inline bool shortDigits16(const char*& p, const char* end, std::int64_t& value) {
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    std::memcpy(&a, p, 8);
    std::memcpy(&b, p + 8, 8);
    const std::uint64_t na = notDigits(a);
    const std::uint64_t nb = notDigits(b);
    std::size_t run = na != 0   ? static_cast<std::size_t>(__builtin_ctzll(na)) / 8
                      : nb != 0 ? 8 + static_cast<std::size_t>(__builtin_ctzll(nb)) / 8
                                : 16;
    run = std::min(run, static_cast<std::size_t>(end - p));
    if (run == 0 || run > 15)
        return false;
    // The last (up to) eight digits, and the ones before them.
    const std::size_t low = std::min<std::size_t>(run, 8);
    std::uint64_t tail = 0;
    std::memcpy(&tail, p + run - low, 8);
    tail <<= 8 * (8 - low);
    const std::size_t high = run - low; // 0 to 7
    const std::uint64_t head = high == 0 ? 0 : eightDigits(a << (8 * (8 - high)));
    value = static_cast<std::int64_t>(head * 100000000u + eightDigits(tail));
    p += run;
    return true;
}
#endif

// The usual forms "<digits>/<digits>s" and "<digits>s" (the "s" optional), read
// without the general path's copying and parsing; nothing for any other text.
// The integers are exact, so the quotient is the one the general path gives.
// Bytes up to limit (at or after the text's end) may be read.
[[gnu::always_inline]] inline std::optional<double> plainRational(std::string_view text,
                                                                  const char* limit) {
    const char* p = text.data();
    const char* end = p + text.size();
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    if (limit - end >= 16) {
        std::int64_t numerator = 0;
        if (!shortDigits16(p, end, numerator))
            return std::nullopt;
        double result = static_cast<double>(numerator);
        if (p < end && *p == '/') {
            ++p;
            std::int64_t denominator = 0;
            if (!shortDigits16(p, end, denominator))
                return std::nullopt;
            result = denominator == 0 ? 0 : result / static_cast<double>(denominator);
        }
        p += p < end && *p == 's' ? 1 : 0;
        if (p != end)
            return std::nullopt;
        return result;
    }
#endif
    std::int64_t numerator = 0;
    if (!shortDigits(p, end, limit, numerator))
        return std::nullopt;
    double result = static_cast<double>(numerator);
    if (p < end && *p == '/') {
        ++p;
        std::int64_t denominator = 0;
        if (!shortDigits(p, end, limit, denominator))
            return std::nullopt;
        // With a zero denominator the whole text, holding a "/", is no number.
        result = denominator == 0 ? 0 : result / static_cast<double>(denominator);
    }
    if (p < end && *p == 's')
        ++p;
    if (p != end)
        return std::nullopt;
    return result;
}

} // namespace

double FCPXMLParser::rationalToSeconds(std::string_view text) {
    if (const auto plain = plainRational(text, text.data() + text.size()))
        return *plain;
    // The text without its "s" characters; on the stack for any usual time.
    char local[64];
    std::string heap;
    char* cleaned = local;
    if (text.size() > sizeof local) {
        heap.resize(text.size());
        cleaned = heap.data();
    }
    std::size_t length = 0;
    for (char c : text) {
        if (c != 's')
            cleaned[length++] = c;
    }
    const std::string_view all(cleaned, length);

    std::string_view pieces[3];
    std::size_t count = 0;
    std::size_t from = 0;
    while (from <= all.size() && count < 3) {
        std::size_t slash = all.find('/', from);
        if (slash == npos)
            slash = all.size();
        if (slash > from)
            pieces[count++] = all.substr(from, slash - from);
        from = slash + 1;
    }
    if (count == 2) {
        const auto numerator = parseDecimal(pieces[0]);
        const auto denominator = parseDecimal(pieces[1]);
        if (numerator && denominator && *denominator != 0) {
            const double result = *numerator / *denominator;
            // An overflowing quotient is as unreadable as an overflowing number.
            return std::isfinite(result) ? result : 0;
        }
    }
    return parseDecimal(all).value_or(0);
}

char* MarkerList::allocate(std::size_t n) {
    if (n > freeBytes_) {
        const std::size_t size = std::max(nextBlock_, n);
        blocks_.push_back(std::make_unique_for_overwrite<char[]>(size));
        free_ = blocks_.back().get();
        freeBytes_ = size;
        nextBlock_ = std::min<std::size_t>(nextBlock_ * 2, 4u << 20);
    }
    char* start = free_;
    free_ += n;
    freeBytes_ -= n;
    return start;
}

void MarkerList::shrinkLast(char* start, std::size_t allocated, std::size_t used) {
    if (start + allocated == free_) {
        free_ -= allocated - used;
        freeBytes_ += allocated - used;
    }
}

std::string_view MarkerList::store(std::string_view text) {
    if (text.empty())
        return {};
    char* copy = allocate(text.size());
    std::memcpy(copy, text.data(), text.size());
    return {copy, text.size()};
}

void MarkerList::push_back(const MarkerRecord& record) {
    MarkerRecord copy = record;
    copy.id = store(record.id);
    copy.userName = store(record.userName);
    copy.content = store(record.content);
    records_.push_back(copy);
}

Dictionary toDictionary(const MarkerRecord& record) {
    // Keys in their sorted order, each placed at the end of the map.
    Dictionary::object_t fields;
    fields.emplace_hint(fields.end(), "content", std::string(record.content));
    fields.emplace_hint(fields.end(), "id", std::string(record.id));
    fields.emplace_hint(fields.end(), "resolved", record.resolved);
    fields.emplace_hint(fields.end(), "timestamp", record.timestamp);
    fields.emplace_hint(fields.end(), "timestampEnd",
                        record.timestampEnd ? Value(*record.timestampEnd) : Value(nullptr));
    fields.emplace_hint(fields.end(), "userName", std::string(record.userName));
    return Dictionary(std::move(fields));
}

std::vector<Dictionary> toDictionaries(std::span<const MarkerRecord> records) {
    std::vector<Dictionary> out;
    out.reserve(records.size());
    for (const MarkerRecord& record : records)
        out.push_back(toDictionary(record));
    return out;
}

namespace {

std::optional<std::string_view> stringAt(const Dictionary& record, std::string_view key) {
    const Value* value = lookup(record, key);
    if (value && value->is_string())
        return std::string_view(value->get_ref<const std::string&>());
    return std::nullopt;
}

std::optional<double> finiteTime(const Dictionary& record, std::string_view key) {
    const auto value = numberFor(record, key);
    if (value && std::isfinite(*value))
        return value;
    return std::nullopt;
}

} // namespace

MarkerRecord commentRecord(const Dictionary& comment) {
    MarkerRecord record;
    record.id = stringAt(comment, "id").value_or(std::string_view());
    record.timestamp = finiteTime(comment, "timestamp").value_or(0);
    record.timestampEnd = finiteTime(comment, "timestampEnd");
    record.userName = stringAt(comment, "userName").value_or("Unknown");
    record.content = stringAt(comment, "content").value_or(std::string_view());
    const Value* resolved = lookup(comment, "resolved");
    record.resolved = resolved && resolved->is_boolean() && resolved->get<bool>();
    return record;
}

namespace {

// A time attribute's raw value in seconds: 0 when missing (or unreadable).
[[gnu::always_inline]] inline double timeAttr(const std::optional<std::string_view>& raw,
                                              const char* limit) {
    if (!raw || raw->empty())
        return 0;
    if (const auto plain = plainRational(*raw, limit))
        return *plain;
    if (raw->find('&') == npos)
        return FCPXMLParser::rationalToSeconds(*raw);
    return FCPXMLParser::rationalToSeconds(decodeReferences(*raw));
}

// The length of the character (a UTF-8 sequence, or one stray byte) at i.
std::size_t characterLength(std::string_view text, std::size_t i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t expected = lead >= 0xF0 && lead <= 0xF4   ? 4
                                 : lead >= 0xE0 && lead <= 0xEF ? 3
                                 : lead >= 0xC2 && lead <= 0xDF ? 2
                                                                : 1;
    std::size_t length = 1;
    while (length < expected && i + length < text.size() &&
           (static_cast<unsigned char>(text[i + length]) & 0xC0) == 0x80)
        ++length;
    return length;
}

// Copies src[0, n) to out up to its first "&" and answers that position (n
// when there is none): the copy and the search for references in one pass.
// Works in 16-byte blocks while they stay before `limit` (the end of the
// document src lies in), so out needs room for n + 16 bytes.
std::size_t copyToAmpersand(char* out, const char* src, std::size_t n,
                            [[maybe_unused]] const char* limit) {
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i amp = _mm_set1_epi8('&');
    for (; i < n && limit - (src + i) >= 16; i += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), x);
        const auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, amp)));
        if (mask != 0)
            return std::min(n, i + static_cast<std::size_t>(__builtin_ctz(mask)));
    }
#endif
    for (; i < n; ++i) {
        if (src[i] == '&')
            return i;
        out[i] = src[i];
    }
    return n;
}

// Writes raw to out with its references replaced by their text, in one pass:
// a reference's text is never read again, so "&amp;lt;" gives "&lt;" and
// "&amp;#10;" gives "&#10;". Returns the length written (at most raw's). The
// text between references is copied in 16-byte blocks while they stay before
// `limit`, the end of the text raw lies in: out needs room for raw's length,
// + 16 bytes when limit lies beyond raw's end.
std::size_t decodeWithin(char* out, std::string_view raw, const char* limit) {
    std::size_t written = 0;
    std::size_t i = 0;
    while (true) {
        // written <= i, so the blocks never reach past out + raw.size() + 16.
        const std::size_t at =
            i + copyToAmpersand(out + written, raw.data() + i, raw.size() - i, limit);
        written += at - i;
        if (at == raw.size())
            return written;
        // The usual references, "&amp;" and "&quot;", without the general reading.
        if (raw.size() - at >= 5 && raw[at + 1] == 'a' && raw.compare(at, 5, "&amp;") == 0) {
            out[written++] = '&';
            i = at + 5;
            continue;
        }
        if (raw.size() - at >= 6 && raw[at + 1] == 'q' && raw.compare(at, 6, "&quot;") == 0) {
            out[written++] = '"';
            i = at + 6;
            continue;
        }
        const auto [consumed, produced] = referenceAt(raw.substr(at), out + written);
        if (consumed == 0) {
            out[written++] = '&';
            i = at + 1;
        } else {
            written += produced;
            i = at + consumed;
        }
    }
}

constexpr std::string_view kTag = "[tavrin:";

// Whether a note's raw value decodes to text that starts with the tag. Only
// the note's first characters are decoded, so an untagged marker costs no
// storage; most notes are told apart by their first byte.
bool startsWithTag(std::string_view raw) {
    if (raw.empty() || (raw[0] != '[' && raw[0] != '&'))
        return false;
    if (raw.size() >= kTag.size() && std::memcmp(raw.data(), kTag.data(), kTag.size()) == 0)
        return true;
    char text[kTag.size() + 4]; // a reference gives at most four bytes
    std::size_t length = 0;
    std::size_t i = 0;
    while (length < kTag.size() && i < raw.size()) {
        const auto [consumed, produced] = raw[i] == '&' ? referenceAt(raw.substr(i), text + length)
                                                        : std::pair<std::size_t, std::size_t>{0, 0};
        if (consumed == 0) {
            text[length++] = raw[i++];
        } else {
            length += produced;
            i += consumed;
        }
    }
    return length >= kTag.size() && std::memcmp(text, kTag.data(), kTag.size()) == 0;
}

} // namespace

// One stretch of a long document, read by a thread of its own. Its scan
// starts at `from` and, past the start of the next stretch, goes on until it
// reaches a marker element the next stretch's scan also found: from there on
// both scans are the same, so the next stretch's records are taken from it.
struct alignas(64) MarkerSegment {
    static constexpr std::size_t kHeads = 64;

    std::size_t from = 0;
    MarkerList list;
    // The first elements the scan found: where each starts, and how many
    // records were made before it. Published (`published`) once full or once
    // the scan has ended, whichever is first; `complete` then tells which.
    std::vector<std::pair<std::size_t, std::size_t>> heads;
    bool complete = false;
    std::atomic<bool> published{false};
    // Where this scan met a later one: that stretch's index and its record
    // from which on its records follow this stretch's; npos when this scan
    // went on to the end itself.
    std::size_t joinedSegment = npos;
    std::size_t joinedAt = npos;
    std::exception_ptr failure;

    // Reads the markers of document from segments[k].from on, into its list,
    // and stops where the scan meets a later stretch's.
    static void scan(std::string_view document, std::span<MarkerSegment> segments, std::size_t k);

    void publish(bool ended) {
        if (published.load(std::memory_order_relaxed))
            return;
        complete = ended;
        published.store(true, std::memory_order_release);
        published.notify_all();
    }
};

void MarkerSegment::scan(std::string_view document, std::span<MarkerSegment> segments,
                         std::size_t k) {
    MarkerSegment& segment = segments[k];
    // Read once: the other scans write next to it all the time.
    std::size_t next = k + 1;
    std::size_t nextFrom = next < segments.size() ? segments[next].from : npos;
    MarkerList& list = segment.list;
    const char* limit = document.data() + document.size();
    // A raw value as text in the list's storage: copied, and decoded from its
    // first "&" on when it holds one.
    auto storeDecoded = [&](std::string_view raw) {
        char* out = list.allocate(raw.size() + 16);
        const std::size_t length = decodeWithin(out, raw, limit);
        list.shrinkLast(out, raw.size() + 16, length);
        return std::string_view(out, length);
    };
    // Appends the record of a marker whose raw attribute values (in the order of
    // kMarkerNames) are given, when its note is tagged.
    auto addRecord = [&](const std::optional<std::string_view>(&raw)[4]) {
        if (!raw[0] || !startsWithTag(*raw[0]))
            return;
        const std::string_view note = storeDecoded(*raw[0]);
        auto forget = [&] { list.shrinkLast(const_cast<char*>(note.data()), note.size(), 0); };

        // The tag's pieces between "[" and "]", split at ":", empty ones
        // dropped; the note starts with the tag, so the first is "tavrin".
        std::size_t pieceAt[3] = {1};
        std::size_t pieceLength[3] = {kTag.size() - 2};
        std::size_t count = 1;
        const char* text = note.data();
        std::size_t close = npos;
        // Where the identifier may hold an escape: "%" before the "]", bit k
        // for position kTag.size() + k; all set when not known.
        std::uint64_t percents = ~std::uint64_t{0};
#if defined(__SSE2__)
        // The usual tag ends within the 32 bytes after "[tavrin:": its pieces
        // from bit masks of them.
        if (note.size() >= kTag.size() + 32) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + kTag.size()));
            const __m128i y =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + kTag.size() + 16));
            auto bits = [&](char c) {
                const __m128i v = _mm_set1_epi8(c);
                return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, v))) |
                       static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(y, v))) << 16;
            };
            if (const unsigned brackets = bits(']'); brackets != 0) {
                const auto at = static_cast<std::size_t>(__builtin_ctz(brackets));
                const unsigned below = (brackets & (0u - brackets)) - 1;
                close = kTag.size() + at;
                std::size_t from = kTag.size();
                for (unsigned colons = bits(':') & below; colons != 0 && count < 3;
                     colons &= colons - 1) {
                    const std::size_t stop =
                        kTag.size() + static_cast<std::size_t>(__builtin_ctz(colons));
                    if (stop > from) {
                        pieceAt[count] = from;
                        pieceLength[count++] = stop - from;
                    }
                    from = stop + 1;
                }
                if (count < 3 && close > from) {
                    pieceAt[count] = from;
                    pieceLength[count++] = close - from;
                }
                percents = bits('%') & below;
            }
        }
#endif
        if (close == npos) {
            const char* bracket = findByte(text, kTag.size(), note.size(), ']');
            if (!bracket)
                return forget();
            close = static_cast<std::size_t>(bracket - text);
            for (std::size_t from = kTag.size(); count < 3;) {
                const char* colon = findByte(text, from, close, ':');
                const std::size_t stop = colon ? static_cast<std::size_t>(colon - text) : close;
                if (stop > from) {
                    pieceAt[count] = from;
                    pieceLength[count++] = stop - from;
                }
                if (!colon)
                    break;
                from = stop + 1;
            }
        }
        if (count < 2)
            return forget();
        const bool resolved = count >= 3 && note.substr(pieceAt[2], pieceLength[2]) == "resolved";

        // The content follows the "]" and the one character after it; a note
        // that ends there has empty content.
        std::size_t contentStart = close + 1;
        if (contentStart < note.size())
            contentStart += characterLength(note, contentStart);

        MarkerRecord record;
        record.timestamp = timeAttr(raw[1], limit);
        const double duration = timeAttr(raw[2], limit);
        // An end beyond the range of a double is as unreadable as a missing one.
        const double end = record.timestamp + duration;
        if (duration > 0.01 && std::isfinite(end))
            record.timestampEnd = end;
        record.resolved = resolved;

        // The one copy of the note holds both the identifier and the content.
        record.id = note.substr(pieceAt[1], pieceLength[1]);
        const bool escaped = percents == ~std::uint64_t{0}
                                 ? record.id.find('%') != npos
                                 : ((percents >> (pieceAt[1] - kTag.size())) &
                                    ((std::uint64_t{1} << pieceLength[1]) - 1)) != 0;
        if (escaped) {
            char* out = list.allocate(record.id.size());
            std::size_t length = 0;
            for (std::size_t i = 0; i < record.id.size();) {
                const std::size_t escape = identifierEscapeAt(record.id.substr(i), out + length);
                length += escape == 9 ? 3 : 1;
                if (!escape)
                    out[length - 1] = record.id[i];
                i += escape ? escape : 1;
            }
            list.shrinkLast(out, record.id.size(), length);
            record.id = std::string_view(out, length);
        }
        if (contentStart < note.size())
            record.content = note.substr(contentStart);
        if (raw[3])
            record.userName = storeDecoded(*raw[3]);
        list.records_.push_back(record);
    };

    const char* d = document.data();
    const std::size_t n = document.size();
    std::size_t i = segment.from;
    // The raw values of one element's attributes, in the order of
    // kMarkerNames; made once (a fresh array each time costs a memset).
    std::optional<std::string_view> raw[4];
    while ((i = findTagOpen(d, i, n)) != npos) {
        const std::size_t s = afterMarkerName(d, i, n);
        if (s == npos) {
            ++i;
            continue;
        }
        if (segment.heads.size() < MarkerSegment::kHeads) {
            segment.heads.emplace_back(i, list.size());
            if (segment.heads.size() == MarkerSegment::kHeads)
                segment.publish(false);
        }
        while (i >= nextFrom) {
            MarkerSegment& later = segments[next];
            later.published.wait(false, std::memory_order_acquire);
            const auto at = std::lower_bound(later.heads.begin(), later.heads.end(),
                                             std::pair<std::size_t, std::size_t>(i, 0));
            if (at != later.heads.end() && at->first == i) {
                segment.joinedSegment = next;
                segment.joinedAt = at->second;
                break;
            }
            if (at != later.heads.end())
                break; // this scan's next elements may still meet that one's
            // Past every element that scan published. When it met the scan
            // after it, this one may meet that one; otherwise no later
            // element of this scan can meet any, and it goes on alone.
            next = later.complete && later.joinedSegment != npos ? later.joinedSegment
                                                                 : segments.size();
            nextFrom = next < segments.size() ? segments[next].from : npos;
        }
        if (segment.joinedAt != npos)
            break;
        ElementScan scan;
        scanElement(d, s, n, scan);
        if (scan.end == npos)
            break; // no ">" anywhere after: no later element can end either
        const std::size_t g = scan.plain ? scan.end : elementEnd(d, s, n, scan);
        const std::size_t e = (g > s && d[g - 1] == '/') ? g - 1 : g;
        i = g + 1;
        if (scan.plain && !scan.mayBeTagged)
            continue; // no record: see ElementScan::mayBeTagged
        for (auto& value : raw)
            value.reset();
        if (!scan.plain || !plainMarkerAttrs(d, s, scan, raw)) {
            // Any other form: the general reading. A note decodes to text that
            // starts with the tag only if the tag stands in it as written, or
            // a character reference stands for some of it, so most other
            // markers are passed over without reading their attributes.
            const std::string_view attributes(d + s, e - s);
            if (attributes.find(kTag) == npos && attributes.find("&#") == npos)
                continue;
            for (auto& value : raw)
                value.reset();
            rawAttrs(attributes, kMarkerNames, raw);
        }
        addRecord(raw);
    }
    segment.publish(true);
}

namespace {

// Stretches of at least this many bytes are worth a thread of their own.
constexpr std::size_t kMinSegmentBytes = 4u << 20;

} // namespace

void MarkerList::append(MarkerList&& other, std::size_t from) {
    if (from < other.records_.size())
        records_.insert(records_.end(), other.records_.begin() + static_cast<std::ptrdiff_t>(from),
                        other.records_.end());
    for (auto& block : other.blocks_)
        blocks_.push_back(std::move(block));
    other = MarkerList();
}

MarkerList FCPXMLParser::parseMarkers(std::string_view document) {
    const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
    return parseMarkers(document, std::clamp<std::size_t>(document.size() / kMinSegmentBytes, 1,
                                                          std::min<std::size_t>(cores, 8)));
}

MarkerList FCPXMLParser::parseMarkers(std::string_view document, std::size_t stretches) {
    // Each stretch is read by a thread of its own: elements are independent
    // of what surrounds them, so the scans only need to agree where one
    // stretch hands over to the next. No more stretches than bytes, nor than
    // threads worth starting at once.
    const std::size_t count =
        std::max<std::size_t>(1, std::min<std::size_t>({stretches, document.size(), 64}));
    std::vector<MarkerSegment> segments(count);
    for (std::size_t k = 0; k < count; ++k) {
        segments[k].from = document.size() / count * k;
        // Room for a marker every 256 bytes, up to a million; room never used
        // costs no memory. The first list takes every other's records at the
        // end, so it has room for all of them.
        const std::size_t share = k == 0 ? document.size() : document.size() / count;
        segments[k].list.records_.reserve(std::min<std::size_t>(share / 256, 1u << 20));
    }
    auto run = [&](std::size_t k) {
        try {
            MarkerSegment::scan(document, segments, k);
        } catch (...) {
            segments[k].failure = std::current_exception();
            segments[k].publish(true);
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(count - 1);
    for (std::size_t k = 1; k < count; ++k) {
        try {
            threads.emplace_back(run, k);
        } catch (...) {
            // No thread to be had (or no memory for one): the scan before
            // reads the rest itself.
            for (std::size_t rest = k; rest < count; ++rest)
                segments[rest].publish(true);
            break;
        }
    }
    run(0);
    for (std::thread& thread : threads)
        thread.join();
    for (const MarkerSegment& segment : segments)
        if (segment.failure)
            std::rethrow_exception(segment.failure);
    MarkerList list = std::move(segments[0].list);
    for (std::size_t k = 0; segments[k].joinedAt != npos;) {
        const std::size_t joined = segments[k].joinedSegment;
        list.append(std::move(segments[joined].list), segments[k].joinedAt);
        k = joined;
    }
    return list;
}

namespace {

bool isXMLSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The position after white space, comments and processing instructions from
// i; npos when one of them is not closed.
std::size_t afterMisc(std::string_view text, std::size_t i) {
    while (true) {
        while (i < text.size() && isXMLSpace(text[i]))
            ++i;
        const std::string_view rest = text.substr(i);
        std::size_t end = npos;
        if (rest.starts_with("<?"))
            end = text.find("?>", i + 2), end = end == npos ? npos : end + 2;
        else if (rest.starts_with("<!--"))
            end = text.find("-->", i + 4), end = end == npos ? npos : end + 3;
        else
            return i;
        if (end == npos)
            return npos;
        i = end;
    }
}

} // namespace

bool FCPXMLParser::isFCPXMLDocument(std::string_view text) {
    std::size_t i = text.starts_with("\xEF\xBB\xBF") ? 3 : 0;
    i = afterMisc(text, i);
    if (i != npos && text.substr(i).starts_with("<!DOCTYPE")) {
        // The document type, with its internal subset in brackets if any.
        std::size_t end = text.find_first_of("[>", i);
        if (end != npos && text[end] == '[') {
            end = text.find(']', end);
            end = end == npos ? npos : text.find('>', end);
        }
        i = end == npos ? npos : afterMisc(text, end + 1);
    }
    static constexpr std::string_view kRoot = "<fcpxml";
    if (i == npos || !text.substr(i).starts_with(kRoot))
        return false;
    const std::size_t s = i + kRoot.size();
    if (s >= text.size() || !(isXMLSpace(text[s]) || text[s] == '>' || text[s] == '/'))
        return false;
    const std::size_t g = elementEnd(text.data(), s, text.size());
    if (g == npos)
        return false;
    if (text[g - 1] == '/')
        return afterMisc(text, g + 1) == text.size();
    const std::size_t last = text.rfind("</fcpxml");
    if (last == npos || last <= g)
        return false;
    std::size_t k = last + 8;
    while (k < text.size() && isXMLSpace(text[k]))
        ++k;
    return k < text.size() && text[k] == '>' && afterMisc(text, k + 1) == text.size();
}

} // namespace tavrin::container
