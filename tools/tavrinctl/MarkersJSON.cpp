#include "tools/tavrinctl/MarkersJSON.h"

#include "common/Unicode.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <string>

namespace tavrin::ctl {

using container::MarkerRecord;

namespace {

// The string in quotes with '"', '\' and the control characters escaped, as
// the JSON library does without ASCII-only output (its \u escapes are in
// lower case; everything from U+007F up stays as it is).
void appendString(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out.push_back('"');
    std::size_t from = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '"' && c != '\\')
            continue;
        out.append(text.data() + from, i - from);
        from = i + 1;
        switch (c) {
        case '"':
            out.append("\\\"");
            break;
        case '\\':
            out.append("\\\\");
            break;
        case '\b':
            out.append("\\b");
            break;
        case '\t':
            out.append("\\t");
            break;
        case '\n':
            out.append("\\n");
            break;
        case '\f':
            out.append("\\f");
            break;
        case '\r':
            out.append("\\r");
            break;
        default: {
            const char escape[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
            out.append(escape, sizeof escape);
        }
        }
    }
    out.append(text.data() + from, text.size() - from);
    out.push_back('"');
}

// A finite number with the JSON library's own formatting (shortest digits
// that read back the same, ".0" on whole numbers, its exponent style).
void appendNumber(std::string& out, double value) {
    char buffer[64];
    const char* end = nlohmann::detail::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, static_cast<std::size_t>(end - buffer));
}

void appendRecord(std::string& out, const MarkerRecord& record) {
    out.append("  {\n    \"content\": ");
    appendString(out, record.content);
    out.append(",\n    \"id\": ");
    appendString(out, record.id);
    out.append(record.resolved ? ",\n    \"resolved\": true" : ",\n    \"resolved\": false");
    out.append(",\n    \"timestamp\": ");
    appendNumber(out, record.timestamp);
    out.append(",\n    \"timestampEnd\": ");
    if (record.timestampEnd)
        appendNumber(out, *record.timestampEnd);
    else
        out.append("null");
    out.append(",\n    \"userName\": ");
    appendString(out, record.userName);
    out.append("\n  }");
}

} // namespace

bool markersAreJSON(std::span<const MarkerRecord> records) {
    for (const MarkerRecord& r : records) {
        if (!std::isfinite(r.timestamp) || (r.timestampEnd && !std::isfinite(*r.timestampEnd)) ||
            !isValidUTF8(r.content) || !isValidUTF8(r.id) || !isValidUTF8(r.userName))
            return false;
    }
    return true;
}

bool writeMarkersJSON(std::span<const MarkerRecord> records,
                      const std::function<bool(std::string_view)>& write) {
    if (records.empty())
        return write("[]\n");
    constexpr std::size_t kPiece = 1 << 20;
    std::string out;
    out.reserve(kPiece + (64 << 10));
    out.append("[\n");
    for (std::size_t k = 0; k < records.size(); ++k) {
        if (k > 0)
            out.append(",\n");
        appendRecord(out, records[k]);
        if (out.size() >= kPiece) {
            if (!write(out))
                return false;
            out.clear();
        }
    }
    out.append("\n]\n");
    return write(out);
}

} // namespace tavrin::ctl
