#include "tools/tavrinctl/MarkersJSON.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

namespace tavrin::ctl {

using container::MarkerRecord;

namespace {

// Strict UTF-8, as the JSON library checks it: no overlong forms, no
// surrogates, nothing past U+10FFFF.
bool isValidUTF8(std::string_view text) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        // Eight ASCII bytes at a time.
        if (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, s + i, 8);
            if ((word & 0x8080808080808080ull) == 0) {
                i += 8;
                continue;
            }
        }
        const unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t length;
        unsigned char low = 0x80, high = 0xBF; // the second byte's range
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            low = c == 0xE0 ? 0xA0 : 0x80;
            high = c == 0xED ? 0x9F : 0xBF;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            low = c == 0xF0 ? 0x90 : 0x80;
            high = c == 0xF4 ? 0x8F : 0xBF;
        } else {
            return false;
        }
        if (i + length > n || s[i + 1] < low || s[i + 1] > high)
            return false;
        for (std::size_t k = 2; k < length; ++k) {
            if ((s[i + k] & 0xC0) != 0x80)
                return false;
        }
        i += length;
    }
    return true;
}

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
