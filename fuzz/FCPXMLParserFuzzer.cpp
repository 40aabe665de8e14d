// libFuzzer target: the marker reader and the time conversion on any bytes.
// Besides sanitizer findings it checks what every caller relies on: times are
// finite, records own their text, a read in stretches gives the same records,
// and the writer's documents read back.

#include "TavrinFCP/FCPXMLGenerator.h"
#include "TavrinFCP/FCPXMLParser.h"
#include "common/Unicode.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

using tavrin::container::FCPXMLGenerator;
using tavrin::container::FCPXMLParser;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    if (!std::isfinite(FCPXMLParser::rationalToSeconds(text)))
        std::abort();

    (void)FCPXMLParser::isFCPXMLDocument(text);
    (void)FCPXMLParser::extractAttr(text, "note");

    const auto records = FCPXMLParser::parseMarkers(text);
    for (const auto& record : records) {
        if (!std::isfinite(record.timestamp) ||
            (record.timestampEnd && !std::isfinite(*record.timestampEnd)))
            std::abort();
        // Every string is a copy the list owns, never a view into the input.
        for (std::string_view field : {record.id, record.userName, record.content}) {
            if (!field.empty() && field.data() >= text.data() &&
                field.data() < text.data() + text.size())
                std::abort();
        }
    }

    // Read in stretches on several threads, the records are the same.
    const std::size_t stretches = 2 + size % 5;
    const auto split = FCPXMLParser::parseMarkers(text, stretches);
    if (split.size() != records.size())
        std::abort();
    for (std::size_t i = 0; i < records.size(); ++i) {
        const auto &a = records[i], &b = split[i];
        if (a.id != b.id || a.userName != b.userName || a.content != b.content ||
            a.resolved != b.resolved || a.timestamp != b.timestamp ||
            a.timestampEnd != b.timestampEnd)
            std::abort();
    }

    // Written back, the records read back as many, and writing what was read
    // back gives the same document again; the document is FCPXML. Only for
    // UTF-8 text, as every caller gives: in other bytes, leaving out a
    // character XML cannot carry can join stray bytes into another one.
    if (!tavrin::isValidUTF8(text))
        return 0;
    const std::string document = FCPXMLGenerator::generateMarkersFCPXML(records.records());
    const auto again = FCPXMLParser::parseMarkers(document);
    if (again.size() != records.size() || !FCPXMLParser::isFCPXMLDocument(document) ||
        FCPXMLGenerator::generateMarkersFCPXML(again.records()) != document)
        std::abort();
    return 0;
}
