#include "tests/TavrinFCP/IcuMarkerReader.h"

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <regex>

namespace tavrin::container::testing {

namespace {

std::string toUTF8(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    std::size_t at = 0;
    while ((at = text.find(from, at)) != std::string::npos) {
        text.replace(at, from.size(), to);
        at += to.size();
    }
}

std::vector<std::string> splitDroppingEmpty(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    std::string piece;
    for (char c : text) {
        if (c == separator) {
            if (!piece.empty())
                pieces.push_back(piece);
            piece.clear();
        } else {
            piece.push_back(c);
        }
    }
    if (!piece.empty())
        pieces.push_back(piece);
    return pieces;
}

// Decimal numbers only (the notations the system's writer and the editor use).
bool parsesAsNumber(const std::string& text, double& value) {
    static const std::regex decimal(R"([+-]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?)");
    if (!std::regex_match(text, decimal))
        return false;
    value = std::strtod(text.c_str(), nullptr);
    return std::isfinite(value);
}

} // namespace

std::vector<std::string> icuMarkerAttributeTexts(const std::string& document) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexPattern> pattern(icu::RegexPattern::compile(
        icu::UnicodeString::fromUTF8("<marker\\s+([^>]*?)\\/?>"), UREGEX_CASE_INSENSITIVE, status));
    const icu::UnicodeString text = icu::UnicodeString::fromUTF8(document);
    std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(text, status));
    std::vector<std::string> texts;
    while (U_SUCCESS(status) && matcher->find(status))
        texts.push_back(toUTF8(matcher->group(1, status)));
    return texts;
}

std::string icuExtractAttr(const std::string& attributes, const std::string& name) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexPattern> pattern(icu::RegexPattern::compile(
        icu::UnicodeString::fromUTF8(name + "=\"([^\"]*)\""), 0, status));
    if (U_FAILURE(status))
        return {};
    const icu::UnicodeString text = icu::UnicodeString::fromUTF8(attributes);
    std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(text, status));
    if (!matcher->find(status))
        return {};
    std::string value = toUTF8(matcher->group(1, status));
    replaceAll(value, "&lt;", "<");
    replaceAll(value, "&gt;", ">");
    replaceAll(value, "&quot;", "\"");
    replaceAll(value, "&apos;", "'");
    replaceAll(value, "&amp;", "&");
    return value;
}

double referenceRationalToSeconds(const std::string& text) {
    std::string cleaned;
    for (char c : text) {
        if (c != 's')
            cleaned.push_back(c);
    }
    const auto pieces = splitDroppingEmpty(cleaned, '/');
    double a = 0, b = 0;
    if (pieces.size() == 2 && parsesAsNumber(pieces[0], a) && parsesAsNumber(pieces[1], b) &&
        b != 0 && std::isfinite(a / b))
        return a / b;
    double whole = 0;
    return parsesAsNumber(cleaned, whole) ? whole : 0;
}

std::vector<Dictionary> icuParseMarkers(const std::string& document) {
    std::vector<Dictionary> records;
    for (const std::string& attributes : icuMarkerAttributeTexts(document)) {
        const std::string start = icuExtractAttr(attributes, "start");
        const std::string durationText = icuExtractAttr(attributes, "duration");
        const std::string value = icuExtractAttr(attributes, "value");
        const std::string note = icuExtractAttr(attributes, "note");
        if (note.rfind("[tavrin:", 0) != 0)
            continue;
        const std::size_t close = note.find(']');
        if (close == std::string::npos)
            continue;
        const auto pieces = splitDroppingEmpty(note.substr(1, close - 1), ':');
        if (pieces.size() < 2)
            continue;
        const std::string status = pieces.size() >= 3 ? pieces[2] : "open";
        // Skip the "]" and the one character (code point) after it.
        std::size_t from = close + 1;
        if (from < note.size()) {
            ++from;
            while (from < note.size() && (static_cast<unsigned char>(note[from]) & 0xC0) == 0x80)
                ++from;
        }
        const double timestamp = referenceRationalToSeconds(start);
        const double duration = durationText.empty() ? 0 : referenceRationalToSeconds(durationText);
        Dictionary record;
        record["id"] = pieces[1];
        record["timestamp"] = timestamp;
        record["timestampEnd"] = duration > 0.01 && std::isfinite(timestamp + duration)
                                     ? Value(timestamp + duration)
                                     : Value(nullptr);
        record["userName"] = value;
        record["content"] = from < note.size() ? note.substr(from) : std::string();
        record["resolved"] = status == "resolved";
        records.push_back(record);
    }
    return records;
}

} // namespace tavrin::container::testing
