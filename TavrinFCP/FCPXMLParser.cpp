#include "TavrinFCP/FCPXMLParser.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>

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

// Whether d[from, to) holds no single quote and an even number of double quotes.
bool onlyClosedDoubleQuotes(const char* d, std::size_t from, std::size_t to) {
    std::size_t i = from;
    unsigned odd = 0; // the parity of the double quotes seen
#if defined(__SSE2__)
    const __m128i dq = _mm_set1_epi8('"');
    const __m128i sq = _mm_set1_epi8('\'');
    unsigned doubleQuotes = 0; // the positions' exclusive or: same parity
    unsigned singleQuotes = 0;
    while (i + 16 <= to) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
        doubleQuotes ^= static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, dq)));
        singleQuotes |= static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, sq)));
        i += 16;
    }
    if (singleQuotes != 0)
        return false;
    for (unsigned shift = 8; shift > 0; shift /= 2)
        doubleQuotes ^= doubleQuotes >> shift;
    odd = doubleQuotes & 1;
#endif
    for (; i < to; ++i) {
        if (d[i] == '\'')
            return false;
        odd ^= d[i] == '"' ? 1 : 0;
    }
    return odd == 0;
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
    const char* first = findByte(d, s, n, '>');
    if (!first)
        return npos;
    // The usual element: double-quoted values only, none holding a ">". Then
    // the first ">" stands outside every quoted value, and it is the end.
    if (onlyClosedDoubleQuotes(d, s, static_cast<std::size_t>(first - d)))
        return static_cast<std::size_t>(first - d);
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

// The raw (undecoded) value of the first `name="..."` in the attribute text.
std::optional<std::string_view> rawAttr(std::string_view attributes, std::string_view name) {
    if (name.empty()) {
        const std::size_t at = attributes.find("=\"");
        if (at == npos)
            return std::nullopt;
        const std::size_t close = attributes.find('"', at + 2);
        if (close == npos)
            return std::nullopt;
        return attributes.substr(at + 2, close - at - 2);
    }
    std::size_t from = 0;
    while (true) {
        const std::size_t at = attributes.find(name, from);
        if (at == npos)
            return std::nullopt;
        const std::size_t eq = at + name.size();
        if (eq + 1 < attributes.size() && attributes[eq] == '=' && attributes[eq + 1] == '"') {
            const std::size_t close = attributes.find('"', eq + 2);
            // A later occurrence cannot have a closing quote either: its own
            // opening quote would have closed this one.
            if (close == npos)
                return std::nullopt;
            return attributes.substr(eq + 2, close - eq - 2);
        }
        from = at + 1;
    }
}

// The raw values of the first `names[k]="..."` in the attribute text, for every
// k, in one pass: the same values as rawAttr(attributes, names[k]) for each k.
// Every match of any name ends in `="`; the first `="` (inside a value or not)
// that a name stands right before is that name's first match. When the quote it
// opens has no closing quote, no later `="` exists either, so nothing is left.
template <std::size_t N>
void rawAttrs(std::string_view attributes, const std::string_view (&names)[N],
              std::optional<std::string_view> (&values)[N]) {
    const char* d = attributes.data();
    const std::size_t n = attributes.size();
    std::size_t missing = N;
    std::size_t from = 0;
    while (missing > 0) {
        const char* eq = findByte(d, from, n, '=');
        if (!eq)
            return;
        const auto p = static_cast<std::size_t>(eq - d);
        from = p + 1;
        if (p + 1 >= n || d[p + 1] != '"')
            continue;
        const char* close = nullptr;
        for (std::size_t k = 0; k < N; ++k) {
            // Compared from the "=" backwards: most names differ in their last letter.
            const std::string_view name = names[k];
            if (values[k] || name.size() > p)
                continue;
            std::size_t same = 0;
            while (same < name.size() && d[p - 1 - same] == name[name.size() - 1 - same])
                ++same;
            if (same != name.size())
                continue;
            if (!close) {
                close = findByte(d, p + 2, n, '"');
                if (!close)
                    return;
            }
            values[k] = attributes.substr(p + 2, static_cast<std::size_t>(close - d) - p - 2);
            --missing;
        }
    }
}

// The length of the entity at the start of text and its character, or 0.
std::size_t entityAt(std::string_view text, char& character) {
    if (text.size() < 4 || text[0] != '&')
        return 0;
    if (text[1] == 'l' && text.starts_with("&lt;")) {
        character = '<';
        return 4;
    }
    if (text[1] == 'g' && text.starts_with("&gt;")) {
        character = '>';
        return 4;
    }
    if (text[1] == 'q' && text.starts_with("&quot;")) {
        character = '"';
        return 6;
    }
    if (text[1] == 'a' && text.starts_with("&apos;")) {
        character = '\'';
        return 6;
    }
    if (text[1] == 'a' && text.starts_with("&amp;")) {
        character = '&';
        return 5;
    }
    return 0;
}

// Appends raw with &lt; &gt; &quot; &apos; and &amp; replaced by their
// characters. One pass gives the same text as replacing them one after another
// in that order, ampersand last: the entities cannot overlap, and no
// replacement creates an entity that a later step would replace.
void appendDecoded(std::string& out, std::string_view raw) {
    std::size_t i = 0;
    while (i < raw.size()) {
        const std::size_t amp = raw.find('&', i);
        if (amp == npos) {
            out.append(raw.substr(i));
            return;
        }
        out.append(raw.substr(i, amp - i));
        char character = '&';
        const std::size_t length = entityAt(raw.substr(amp), character);
        out.push_back(character);
        i = amp + (length == 0 ? 1 : length);
    }
}

std::string decodeEntities(std::string_view raw) {
    std::string out;
    out.reserve(raw.size());
    appendDecoded(out, raw);
    return out;
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

std::vector<std::string_view> FCPXMLParser::markerAttributeTexts(std::string_view document) {
    std::vector<std::string_view> texts;
    forEachMarkerElement(document,
                         [&](std::string_view attributes) { texts.push_back(attributes); });
    return texts;
}

std::string FCPXMLParser::extractAttr(std::string_view attributes, std::string_view name) {
    const auto raw = rawAttr(attributes, name);
    return raw ? decodeEntities(*raw) : std::string();
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

namespace {

// A time attribute's raw value in seconds: 0 when missing (or unreadable).
double timeAttr(const std::optional<std::string_view>& raw) {
    if (!raw || raw->empty())
        return 0;
    if (raw->find('&') == npos)
        return FCPXMLParser::rationalToSeconds(*raw);
    return FCPXMLParser::rationalToSeconds(decodeEntities(*raw));
}

} // namespace

std::vector<Dictionary> FCPXMLParser::parseMarkers(std::string_view document) {
    static constexpr std::string_view kTag = "[tavrin:";
    std::vector<Dictionary> records;
    forEachMarkerElement(document, [&](std::string_view attributes) {
        static constexpr std::string_view kNames[] = {"note", "start", "duration", "value"};
        std::optional<std::string_view> raw[4];
        rawAttrs(attributes, kNames, raw);
        // The note is read in its raw form: entities decode to one of < > " ' &,
        // so the tag prefix, the first "]", the ":" separators and empty pieces
        // are the same in the raw and the decoded note.
        const auto& rawNote = raw[0];
        if (!rawNote || !rawNote->starts_with(kTag))
            return;
        const std::string_view note = *rawNote;
        const std::size_t close = note.find(']');
        if (close == npos)
            return;

        // The tag's pieces between "[" and "]", split at ":", empty ones dropped.
        std::string_view pieces[3];
        std::size_t count = 0;
        const std::string_view tag = note.substr(1, close - 1);
        std::size_t from = 0;
        while (from <= tag.size() && count < 3) {
            std::size_t colon = tag.find(':', from);
            if (colon == npos)
                colon = tag.size();
            if (colon > from)
                pieces[count++] = tag.substr(from, colon - from);
            from = colon + 1;
        }
        if (count < 2)
            return;
        // Only the raw "resolved" decodes to "resolved" (an entity yields no letter).
        const bool resolved = count >= 3 && pieces[2] == "resolved";

        // The content follows the "]" and the one character after it (an entity
        // or a UTF-8 sequence); a note that ends there has empty content.
        std::size_t contentStart = close + 1;
        if (contentStart < note.size()) {
            char character = 0;
            std::size_t length = entityAt(note.substr(contentStart), character);
            if (length == 0) {
                const auto lead = static_cast<unsigned char>(note[contentStart]);
                const std::size_t expected = lead >= 0xF0 && lead <= 0xF4   ? 4
                                             : lead >= 0xE0 && lead <= 0xEF ? 3
                                             : lead >= 0xC2 && lead <= 0xDF ? 2
                                                                            : 1;
                length = 1;
                while (length < expected && contentStart + length < note.size() &&
                       (static_cast<unsigned char>(note[contentStart + length]) & 0xC0) == 0x80)
                    ++length;
            }
            contentStart += length;
        }

        const double timestamp = timeAttr(raw[1]);
        const double duration = timeAttr(raw[2]);
        // An end beyond the range of a double is as unreadable as a missing one.
        const double end = timestamp + duration;

        std::string id;
        appendDecoded(id, pieces[1]);
        std::string userName;
        if (raw[3])
            appendDecoded(userName, *raw[3]);
        std::string content;
        if (contentStart < note.size()) {
            content.reserve(note.size() - contentStart);
            appendDecoded(content, note.substr(contentStart));
        }

        // Keys in their sorted order, each placed at the end of the map.
        Dictionary::object_t fields;
        fields.emplace_hint(fields.end(), "content", std::move(content));
        fields.emplace_hint(fields.end(), "id", std::move(id));
        fields.emplace_hint(fields.end(), "resolved", resolved);
        fields.emplace_hint(fields.end(), "timestamp", timestamp);
        fields.emplace_hint(fields.end(), "timestampEnd",
                            duration > 0.01 && std::isfinite(end) ? Value(end) : Value(nullptr));
        fields.emplace_hint(fields.end(), "userName", std::move(userName));
        Dictionary record(std::move(fields));
        records.push_back(std::move(record));
    });
    return records;
}

} // namespace tavrin::container
