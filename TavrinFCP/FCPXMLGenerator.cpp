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

// A finite number under key, or nothing.
std::optional<double> finiteTime(const Dictionary& record, std::string_view key) {
    const auto value = numberFor(record, key);
    if (value && std::isfinite(*value))
        return value;
    return std::nullopt;
}

// Appends text with "&", "<", ">" and the double quote escaped, and the
// apostrophe too where asked. The note keeps its apostrophes as they are; its
// ">" is escaped so that no reader cuts the element at it.
void appendEscaped(std::string& out, std::string_view text, bool escapeApostrophe = true) {
    for (char c : text) {
        switch (c) {
        case '&':
            out.append("&amp;");
            break;
        case '<':
            out.append("&lt;");
            break;
        case '>':
            out.append("&gt;");
            break;
        case '"':
            out.append("&quot;");
            break;
        case '\'':
            if (escapeApostrophe)
                out.append("&apos;");
            else
                out.push_back(c);
            break;
        default:
            out.push_back(c);
        }
    }
}

void appendNoteEscaped(std::string& out, std::string_view text) {
    appendEscaped(out, text, /*escapeApostrophe=*/false);
}

// The string under key, without copying it, or nothing.
std::optional<std::string_view> stringAt(const Dictionary& record, std::string_view key) {
    const Value* value = lookup(record, key);
    if (value && value->is_string())
        return std::string_view(value->get_ref<const std::string&>());
    return std::nullopt;
}

// What a marker line needs from one comment record, read once in input order
// (the records' own memory is then not revisited in sorted order).
struct MarkerFields {
    double start = 0;
    std::optional<double> end;
    std::optional<std::string_view> userName;
    std::optional<std::string_view> content;
    std::optional<std::string_view> id;
    bool resolved = false;
};

MarkerFields markerFields(const Dictionary& record) {
    MarkerFields fields;
    fields.start = finiteTime(record, "timestamp").value_or(0);
    fields.end = finiteTime(record, "timestampEnd");
    fields.userName = stringAt(record, "userName");
    fields.content = stringAt(record, "content");
    fields.id = stringAt(record, "id");
    const Value* resolved = lookup(record, "resolved");
    fields.resolved = resolved && resolved->is_boolean() && resolved->get<bool>();
    return fields;
}

void appendMarkerLine(std::string& out, const MarkerFields& fields) {
    const auto& [start, end, userName, content, id, isResolved] = fields;

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
    appendEscaped(out, userName ? *userName : std::string_view("Unknown"));
    out.append("\" note=\"");
    appendNoteEscaped(out, "[tavrin:");
    appendNoteEscaped(out, id ? *id : std::string_view());
    out.push_back(':');
    out.append(isResolved ? "resolved" : "open");
    out.append("] ");
    appendNoteEscaped(out, content ? *content : std::string_view());
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
    std::vector<MarkerFields> fields;
    fields.reserve(comments.size());
    for (const Dictionary& comment : comments)
        fields.push_back(markerFields(comment));
    std::vector<std::size_t> order(comments.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return fields[a].start < fields[b].start;
    });

    std::string out;
    out.reserve(kHead.size() + kTail.size() + comments.size() * 256);
    out.append(kHead);
    for (std::size_t k = 0; k < order.size(); ++k) {
        if (k > 0)
            out.push_back('\n');
        appendMarkerLine(out, fields[order[k]]);
    }
    out.append(kTail);
    return out;
}

} // namespace tavrin::container
