#include "TavrinFCP/FCPXMLGenerator.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <optional>

namespace tavrin::container {

namespace {

constexpr double kFrameRate = 24;

// The text of the document before and after its marker lines.
constexpr std::string_view kHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE fcpxml>\n"
    "\n"
    "<fcpxml version=\"1.11\">\n"
    "  <resources>\n"
    "    <format id=\"r1\" name=\"FFVideoFormat1080p24\" frameDuration=\"1/24s\" "
    "width=\"1920\" height=\"1080\" colorSpace=\"1-1-1 (Rec. 709)\"/>\n"
    "  </resources>\n"
    "  <library>\n"
    "    <event name=\"Tavrin Markers\">\n"
    "      <project name=\"Tavrin Sync\">\n"
    "        <sequence duration=\"86400/24s\" tcStart=\"00:00:00:00/0s\" tcFormat=\"NDF\" "
    "format=\"r1\">\n"
    "          <spine>\n"
    "            <gap name=\"Markers\" duration=\"86400/24s\" offset=\"0/1s\" start=\"0/1s\">\n";
constexpr std::string_view kTail = "\n"
                                   "            </gap>\n"
                                   "          </spine>\n"
                                   "        </sequence>\n"
                                   "      </project>\n"
                                   "    </event>\n"
                                   "  </library>\n"
                                   "</fcpxml>";

// x rounded half away from zero and clamped to the signed 64-bit range;
// not-a-number gives 0.
std::int64_t clampedRound(double x) {
    if (std::isnan(x))
        return 0;
    const double r = std::round(x);
    // 2^63 is exact as a double; INT64_MAX is not.
    constexpr double kLimit = 9223372036854775808.0;
    if (r >= kLimit)
        return std::numeric_limits<std::int64_t>::max();
    if (r < -kLimit)
        return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(r);
}

std::int64_t clampedTruncate(double x) {
    return std::isnan(x) ? 0 : clampedRound(std::trunc(x));
}

void appendInteger(std::string& out, std::int64_t value) {
    char buffer[24];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    (void)ec; // 24 bytes always hold a 64-bit integer
    out.append(buffer, end);
}

void appendRational(std::string& out, double seconds, double frameRate) {
    appendInteger(out, clampedRound(seconds * frameRate));
    out.push_back('/');
    appendInteger(out, clampedTruncate(frameRate));
    out.push_back('s');
}

// Appends text escaped for an attribute value in double quotes: "&", "<" and
// the double quote as entities, and ">" and the apostrophe too except in the
// note, whose text keeps them as they are (a ">" inside a quoted value ends
// no element for the reader). Tab, line feed and carriage return are written
// as character references, since a reader turns them into spaces when they
// stand raw in an attribute; the characters XML 1.0 cannot carry (the other
// controls, U+FFFE and U+FFFF) are left out, so the document stays
// well-formed.
void appendEscaped(std::string& out, std::string_view text, bool note = false) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        switch (c) {
        case '&':
            out.append("&amp;");
            break;
        case '<':
            out.append("&lt;");
            break;
        case '>':
            if (note)
                out.push_back(c);
            else
                out.append("&gt;");
            break;
        case '"':
            out.append("&quot;");
            break;
        case '\'':
            if (note)
                out.push_back(c);
            else
                out.append("&apos;");
            break;
        case '\t':
            out.append("&#9;");
            break;
        case '\n':
            out.append("&#10;");
            break;
        case '\r':
            out.append("&#13;");
            break;
        case '\xEF':
            // U+FFFE and U+FFFF (EF BF BE, EF BF BF) are no XML characters.
            if (i + 2 < text.size() && text[i + 1] == '\xBF' &&
                (text[i + 2] == '\xBE' || text[i + 2] == '\xBF')) {
                i += 2;
                break;
            }
            out.push_back(c);
            break;
        default:
            if (static_cast<unsigned char>(c) >= 0x20)
                out.push_back(c);
        }
    }
}

void appendNoteEscaped(std::string& out, std::string_view text) {
    appendEscaped(out, text, /*note=*/true);
}

// The identifier with the characters the tag itself uses encoded, so that it
// reads back whole: ":" as "%3A", "]" as "%5D", and "%" as "%25". The
// characters XML 1.0 cannot carry, which a note leaves out, are encoded too
// (a control character as "%01", U+FFFE as "%EF%BF%BE"): an identifier must
// never lose a character, or the next sync no longer finds its marker.
void appendTagIdentifier(std::string& out, std::string_view id) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    const auto appendEncoded = [&](unsigned char byte) {
        out.push_back('%');
        out.push_back(kHex[byte >> 4]);
        out.push_back(kHex[byte & 0xF]);
    };
    std::size_t from = 0; // start of the run written as it stands
    for (std::size_t i = 0; i < id.size(); ++i) {
        const auto c = static_cast<unsigned char>(id[i]);
        const bool control = c < 0x20 && c != '\t' && c != '\n' && c != '\r';
        const bool nonCharacter = c == 0xEF && id.substr(i, 2) == "\xEF\xBF" && i + 2 < id.size() &&
                                  (id[i + 2] == '\xBE' || id[i + 2] == '\xBF');
        if (!control && !nonCharacter && c != ':' && c != ']' && c != '%')
            continue;
        appendNoteEscaped(out, id.substr(from, i - from));
        const std::size_t length = nonCharacter ? 3 : 1;
        for (std::size_t k = 0; k < length; ++k)
            appendEncoded(static_cast<unsigned char>(id[i + k]));
        i += length - 1;
        from = i + 1;
    }
    appendNoteEscaped(out, id.substr(from));
}

// The line of one record; start and end are its times with what is not a
// finite number taken as missing.
void appendMarkerLine(std::string& out, const MarkerRecord& record, double start,
                      std::optional<double> end) {
    out.append("            <marker start=\"");
    appendRational(out, start, kFrameRate);
    out.append("\" duration=\"");
    if (end && start < *end) {
        appendRational(out, *end - start, kFrameRate);
    } else {
        // The frame rate's integer part divided by 30 (0 at 24 frames per second).
        appendInteger(out, clampedTruncate(kFrameRate) / 30);
        out.push_back('/');
        appendInteger(out, clampedTruncate(kFrameRate));
        out.push_back('s');
    }
    out.append("\" value=\"");
    appendEscaped(out, record.userName);
    out.append("\" note=\"[tavrin:");
    appendTagIdentifier(out, record.id);
    out.push_back(':');
    out.append(record.resolved ? "resolved" : "open");
    out.append("] ");
    appendNoteEscaped(out, record.content);
    out.append("\"/>");
}

} // namespace

std::string xmlEscaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    appendEscaped(out, text);
    return out;
}

std::string FCPXMLGenerator::secondsToRational(double seconds, double frameRate) {
    std::string out;
    appendRational(out, seconds, frameRate);
    return out;
}

std::string FCPXMLGenerator::generateMarkersFCPXML(const std::vector<Dictionary>& comments) {
    std::vector<MarkerRecord> records;
    records.reserve(comments.size());
    for (const Dictionary& comment : comments)
        records.push_back(commentRecord(comment));
    return generateMarkersFCPXML(std::span<const MarkerRecord>(records));
}

std::string FCPXMLGenerator::generateMarkersFCPXML(std::span<const MarkerRecord> records) {
    std::vector<std::size_t> order(records.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    // A time that is not finite counts as 0, in the sort as in the line.
    auto start = [&](std::size_t k) {
        const double t = records[k].timestamp;
        return std::isfinite(t) ? t : 0.0;
    };
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return start(a) < start(b); });

    std::string out;
    out.reserve(kHead.size() + kTail.size() + records.size() * 256);
    out.append(kHead);
    for (std::size_t k = 0; k < order.size(); ++k) {
        if (k > 0)
            out.push_back('\n');
        const MarkerRecord& record = records[order[k]];
        std::optional<double> end = record.timestampEnd;
        if (end && !std::isfinite(*end))
            end.reset();
        appendMarkerLine(out, record, start(order[k]), end);
    }
    out.append(kTail);
    return out;
}

} // namespace tavrin::container
