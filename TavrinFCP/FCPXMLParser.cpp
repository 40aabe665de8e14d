#include "TavrinFCP/FCPXMLParser.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

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

// Length in bytes of the white-space character at i, or 0. White space is the
// Unicode White_Space property: tab to carriage return, space, U+0085, U+00A0,
// U+1680, U+2000-U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
std::size_t whiteSpaceLength(const char* d, std::size_t i, std::size_t n) {
    const auto c = static_cast<unsigned char>(d[i]);
    if (c == ' ' || (c >= 0x09 && c <= 0x0D))
        return 1;
    if (c < 0xC2)
        return 0;
    auto at = [&](std::size_t k) { return static_cast<unsigned char>(d[i + k]); };
    if (c == 0xC2)
        return (i + 1 < n && (at(1) == 0x85 || at(1) == 0xA0)) ? 2 : 0;
    if (i + 2 >= n)
        return 0;
    if (c == 0xE1)
        return (at(1) == 0x9A && at(2) == 0x80) ? 3 : 0;
    if (c == 0xE2) {
        if (at(1) == 0x80) {
            const unsigned char t = at(2);
            return ((t >= 0x80 && t <= 0x8A) || t == 0xA8 || t == 0xA9 || t == 0xAF) ? 3 : 0;
        }
        return (at(1) == 0x81 && at(2) == 0x9F) ? 3 : 0;
    }
    if (c == 0xE3)
        return (at(1) == 0x80 && at(2) == 0x80) ? 3 : 0;
    return 0;
}

// If "<marker" followed by white space starts at i (i holds "<" and i+1 an
// "m" in either case), the position just after the white-space run; else npos.
// Letters match case-insensitively with full case folding, which adds only the
// Kelvin sign (U+212A) as a "k".
std::size_t afterMarkerName(const char* d, std::size_t i, std::size_t n) {
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

// The first ">" at or after s, or npos; plain tells whether the text before it
// holds no single quote and an even number of double quotes. One pass.
std::size_t firstGreaterThan(const char* d, std::size_t s, std::size_t n, bool& plain) {
    unsigned odd = 0;
    unsigned single = 0;
    std::size_t i = s;
#if defined(__SSE2__)
    const __m128i gt = _mm_set1_epi8('>');
    const __m128i dq = _mm_set1_epi8('"');
    const __m128i sq = _mm_set1_epi8('\'');
    while (i + 16 <= n) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
        const auto g = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, gt)));
        auto q = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, dq)));
        auto a = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, sq)));
        if (g != 0) {
            const unsigned below = (g & (0u - g)) - 1;
            q &= below;
            a &= below;
        }
        odd ^= static_cast<unsigned>(__builtin_popcount(q)) & 1;
        single |= a;
        if (g != 0) {
            plain = odd == 0 && single == 0;
            return i + static_cast<std::size_t>(__builtin_ctz(g));
        }
        i += 16;
    }
#endif
    for (; i < n; ++i) {
        const char c = d[i];
        if (c == '>') {
            plain = odd == 0 && single == 0;
            return i;
        }
        odd ^= c == '"' ? 1 : 0;
        single |= c == '\'' ? 1 : 0;
    }
    return npos;
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
std::size_t elementEnd(const char* d, std::size_t s, std::size_t n) {
    bool plain = false;
    const std::size_t firstAt = firstGreaterThan(d, s, n, plain);
    if (firstAt == npos)
        return npos;
    // The usual element: double-quoted values only, none holding a ">". Then
    // the first ">" stands outside every quoted value, and it is the end.
    if (plain)
        return firstAt;
    const char* first = d + firstAt;
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

// Calls visit(attributeText) for every marker element in document order.
template <typename Visit> void forEachMarkerElement(std::string_view document, Visit&& visit) {
    const char* d = document.data();
    const std::size_t n = document.size();
    std::size_t i = 0;
    while (true) {
        i = findTagOpen(d, i, n);
        if (i == npos)
            return;
        const std::size_t s = afterMarkerName(d, i, n);
        if (s == npos) {
            ++i;
            continue;
        }
        const std::size_t g = elementEnd(d, s, n);
        if (g == npos)
            return; // no ">" anywhere after: no later element can end either
        const std::size_t e = (g > s && d[g - 1] == '/') ? g - 1 : g;
        visit(document.substr(s, e - s));
        i = g + 1;
    }
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

// Whether a code point is a character XML 1.0 can carry.
bool isXMLCharacter(std::uint32_t c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
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
    for (; i < n && i - first < 10; ++i) {
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
        !isXMLCharacter(static_cast<std::uint32_t>(code)))
        return {0, 0};
    return {i + 1, putUTF8(out, static_cast<std::uint32_t>(code))};
}

// Writes raw to out with its references replaced by their text, in one pass:
// a reference's text is never read again, so "&amp;lt;" gives "&lt;" and
// "&amp;#10;" gives "&#10;". Returns the length written (at most raw's).
std::size_t decodeInto(char* out, std::string_view raw) {
    std::size_t written = 0;
    std::size_t i = 0;
    while (i < raw.size()) {
        const char* amp = findByte(raw.data(), i, raw.size(), '&');
        const std::size_t at = amp ? static_cast<std::size_t>(amp - raw.data()) : raw.size();
        std::memcpy(out + written, raw.data() + i, at - i);
        written += at - i;
        if (!amp)
            break;
        const auto [consumed, produced] = referenceAt(raw.substr(at), out + written);
        if (consumed == 0) {
            out[written++] = '&';
            i = at + 1;
        } else {
            written += produced;
            i = at + consumed;
        }
    }
    return written;
}

std::string decodeReferences(std::string_view raw) {
    std::string out(raw.size(), '\0');
    out.resize(decodeInto(out.data(), raw));
    return out;
}

// The escape of an identifier character in the tag ("%3A" ":", "%5D" "]",
// "%25" "%", hexadecimal digits in either case) at the start of text, or 0.
char identifierEscapeAt(std::string_view text) {
    if (text.size() < 3 || text[0] != '%')
        return 0;
    const char a = text[1], b = static_cast<char>(text[2] | 0x20);
    if (a == '3' && b == 'a')
        return ':';
    if (a == '5' && b == 'd')
        return ']';
    if (a == '2' && text[2] == '5')
        return '%';
    return 0;
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

// The run of at most 15 decimal digits at i as an integer (exact as a double),
// advancing i past it; nothing when there is no digit or the run is longer.
std::optional<std::int64_t> shortDigits(std::string_view text, std::size_t& i) {
    std::int64_t value = 0;
    const std::size_t start = i;
    while (i < text.size() && isDigit(text[i]) && i - start < 15)
        value = value * 10 + (text[i++] - '0');
    if (i == start || (i < text.size() && isDigit(text[i])))
        return std::nullopt;
    return value;
}

// The usual forms "<digits>/<digits>s" and "<digits>s" (the "s" optional), read
// without the general path's copying and parsing; nothing for any other text.
// The integers are exact, so the quotient is the one the general path gives.
std::optional<double> plainRational(std::string_view text) {
    std::size_t i = 0;
    const auto numerator = shortDigits(text, i);
    if (!numerator)
        return std::nullopt;
    double result = static_cast<double>(*numerator);
    if (i < text.size() && text[i] == '/') {
        ++i;
        const auto denominator = shortDigits(text, i);
        if (!denominator)
            return std::nullopt;
        // With a zero denominator the whole text, holding a "/", is no number.
        result = *denominator == 0 ? 0 : result / static_cast<double>(*denominator);
    }
    if (i < text.size() && text[i] == 's')
        ++i;
    if (i != text.size())
        return std::nullopt;
    return result;
}

} // namespace

double FCPXMLParser::rationalToSeconds(std::string_view text) {
    if (const auto plain = plainRational(text))
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
double timeAttr(const std::optional<std::string_view>& raw) {
    if (!raw || raw->empty())
        return 0;
    if (const auto plain = plainRational(*raw))
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

} // namespace

MarkerList FCPXMLParser::parseMarkers(std::string_view document) {
    static constexpr std::string_view kTag = "[tavrin:";
    MarkerList list;
    // Room for a marker every 256 bytes, up to a million; room never used
    // costs no memory.
    list.records_.reserve(std::min<std::size_t>(document.size() / 256, 1u << 20));
    forEachMarkerElement(document, [&](std::string_view attributes) {
        // A note decodes to text that starts with the tag only if the tag stands
        // in it as written, or a character reference stands for some of it:
        // most other markers are passed over without reading their attributes.
        if (attributes.find(kTag) == npos && attributes.find("&#") == npos)
            return;
        static constexpr std::string_view kNames[] = {"note", "start", "duration", "value"};
        std::optional<std::string_view> raw[4];
        rawAttrs(attributes, kNames, raw);
        if (!raw[0])
            return;
        // Text before the first "&" reads as it stands, so a note whose
        // beginning differs from the tag there is no tagged note.
        const std::string_view rawNote = *raw[0];
        const char* amp = findByte(rawNote.data(), 0, rawNote.size(), '&');
        const std::size_t verbatim =
            amp ? static_cast<std::size_t>(amp - rawNote.data()) : rawNote.size();
        const std::size_t compared = std::min(verbatim, kTag.size());
        if (std::memcmp(rawNote.data(), kTag.data(), compared) != 0 ||
            (!amp && rawNote.size() < kTag.size()))
            return;
        // The note as text: decoded straight into the list's storage when it
        // holds references, else copied there once it is known to be tagged.
        std::string_view note = rawNote;
        char* decodedAt = nullptr;
        if (amp) {
            decodedAt = list.allocate(rawNote.size());
            const std::size_t length = decodeInto(decodedAt, rawNote);
            list.shrinkLast(decodedAt, rawNote.size(), length);
            note = std::string_view(decodedAt, length);
        }
        auto forget = [&] {
            if (decodedAt)
                list.shrinkLast(decodedAt, note.size(), 0);
        };
        std::size_t close = kTag.size();
        while (close < note.size() && note[close] != ']')
            ++close;
        if (!note.starts_with(kTag) || close >= note.size())
            return forget();

        // The tag's pieces between "[" and "]", split at ":", empty ones dropped.
        std::size_t pieceAt[3] = {};
        std::size_t pieceLength[3] = {};
        std::size_t count = 0;
        std::size_t from = 1;
        for (std::size_t k = 1; k <= close && count < 3; ++k) {
            if (k == close || note[k] == ':') {
                if (k > from) {
                    pieceAt[count] = from;
                    pieceLength[count++] = k - from;
                }
                from = k + 1;
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
        record.timestamp = timeAttr(raw[1]);
        const double duration = timeAttr(raw[2]);
        // An end beyond the range of a double is as unreadable as a missing one.
        const double end = record.timestamp + duration;
        if (duration > 0.01 && std::isfinite(end))
            record.timestampEnd = end;
        record.resolved = resolved;

        // One copy of the note holds both the identifier and the content.
        const std::string_view stored = decodedAt ? note : list.store(note);
        record.id = stored.substr(pieceAt[1], pieceLength[1]);
        if (std::memchr(record.id.data(), '%', record.id.size())) {
            char* out = list.allocate(record.id.size());
            std::size_t length = 0;
            for (std::size_t i = 0; i < record.id.size(); ++i) {
                const char escaped = identifierEscapeAt(record.id.substr(i));
                out[length++] = escaped ? escaped : record.id[i];
                i += escaped ? 2 : 0;
            }
            list.shrinkLast(out, record.id.size(), length);
            record.id = std::string_view(out, length);
        }
        if (contentStart < stored.size())
            record.content = stored.substr(contentStart);
        if (raw[3]) {
            const std::string_view name = *raw[3];
            if (std::memchr(name.data(), '&', name.size())) {
                char* out = list.allocate(name.size());
                const std::size_t length = decodeInto(out, name);
                list.shrinkLast(out, name.size(), length);
                record.userName = std::string_view(out, length);
            } else {
                record.userName = list.store(name);
            }
        }
        list.records_.push_back(record);
    });
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
