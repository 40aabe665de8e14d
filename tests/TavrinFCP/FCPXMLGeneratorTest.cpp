#include "TavrinFCP/FCPXMLGenerator.h"
#include "TavrinFCP/FCPXMLParser.h"

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace tavrin::container {
namespace {

const std::string kHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE fcpxml>\n"
    "\n"
    "<fcpxml version=\"1.11\">\n"
    "  <resources>\n"
    "    <format id=\"r1\" name=\"FFVideoFormat1080p24\" frameDuration=\"1/24s\" width=\"1920\" "
    "height=\"1080\" colorSpace=\"1-1-1 (Rec. 709)\"/>\n"
    "  </resources>\n"
    "  <library>\n"
    "    <event name=\"Tavrin Markers\">\n"
    "      <project name=\"Tavrin Sync\">\n"
    "        <sequence duration=\"86400/24s\" tcStart=\"00:00:00:00/0s\" tcFormat=\"NDF\" "
    "format=\"r1\">\n"
    "          <spine>\n"
    "            <gap name=\"Markers\" duration=\"86400/24s\" offset=\"0/1s\" start=\"0/1s\">\n";
const std::string kTail = "\n            </gap>\n"
                          "          </spine>\n"
                          "        </sequence>\n"
                          "      </project>\n"
                          "    </event>\n"
                          "  </library>\n"
                          "</fcpxml>";

// The marker lines of a document (between the gap's opening and closing lines).
std::string markerLines(const std::string& document) {
    EXPECT_EQ(document.substr(0, kHead.size()), kHead);
    EXPECT_GE(document.size(), kHead.size() + kTail.size());
    EXPECT_EQ(document.substr(document.size() - kTail.size()), kTail);
    return document.substr(kHead.size(), document.size() - kHead.size() - kTail.size());
}

std::string line(const std::string& start, const std::string& duration, const std::string& name,
                 const std::string& note) {
    return "            <marker start=\"" + start + "\" duration=\"" + duration + "\" value=\"" +
           name + "\" note=\"" + note + "\"/>";
}

TEST(FCPXMLGenerator, WritesTheEmptyDocumentByteForByte) {
    const std::string document = FCPXMLGenerator::generateMarkersFCPXML(std::vector<Dictionary>{});
    EXPECT_EQ(document, kHead + kTail);
    // 21 lines; an empty line between the gap's opening and closing lines; no final line feed.
    EXPECT_EQ(std::count(document.begin(), document.end(), '\n'), 20);
    EXPECT_NE(document.find("start=\"0/1s\">\n\n            </gap>"), std::string::npos);
    EXPECT_EQ(document.back(), '>');
}

TEST(FCPXMLGenerator, WritesRecordsByteForByte) {
    const std::vector<Dictionary> comments = {
        {{"id", "c1"},
         {"timestamp", 12.5},
         {"timestampEnd", 15},
         {"userName", "Ann"},
         {"content", "Trim this"},
         {"resolved", false}},
        {{"id", "c2"},
         {"timestamp", 3},
         {"resolved", true},
         {"content", "a < b & c > d \"q\" 'x'"},
         {"userName", "Tom & \"Jerry\" <o'k>"}},
        {{"timestamp", 0.0625}, {"timestampEnd", 0.0625}},
    };
    EXPECT_EQ(FCPXMLGenerator::generateMarkersFCPXML(comments),
              kHead + line("2/24s", "0/24s", "Unknown", "[tavrin::open] ") + "\n" +
                  line("72/24s", "0/24s", "Tom &amp; &quot;Jerry&quot; &lt;o&apos;k&gt;",
                       "[tavrin:c2:resolved] a &lt; b &amp; c > d &quot;q&quot; 'x'") +
                  "\n" + line("300/24s", "60/24s", "Ann", "[tavrin:c1:open] Trim this") + kTail);
}

TEST(FCPXMLGenerator, SortsStablyByTimestamp) {
    const std::vector<Dictionary> comments = {
        {{"id", "late"}, {"timestamp", 30}},
        {{"id", "first-at-10"}, {"timestamp", 10}},
        {{"id", "missing"}},
        {{"id", "second-at-10"}, {"timestamp", 10.0}},
        {{"id", "string"}, {"timestamp", "5"}},
        {{"id", "negative"}, {"timestamp", -1}},
    };
    std::vector<std::string> ids;
    for (const auto& r :
         FCPXMLParser::parseMarkers(FCPXMLGenerator::generateMarkersFCPXML(comments)))
        ids.emplace_back(r.id);
    EXPECT_EQ(ids, (std::vector<std::string>{"negative", "missing", "string", "first-at-10",
                                             "second-at-10", "late"}));
}

TEST(FCPXMLGenerator, ReadsOnlyValuesOfTheExpectedType) {
    const std::vector<Dictionary> comments = {{{"id", 7},
                                               {"timestamp", true},
                                               {"timestampEnd", "9"},
                                               {"userName", nullptr},
                                               {"content", 5},
                                               {"resolved", 1}}};
    EXPECT_EQ(markerLines(FCPXMLGenerator::generateMarkersFCPXML(comments)),
              line("0/24s", "0/24s", "Unknown", "[tavrin::open] "));
}

TEST(FCPXMLGenerator, WritesDurationsOnlyForEndsAfterTheStart) {
    const std::vector<Dictionary> comments = {
        {{"id", "a"}, {"timestamp", 1}, {"timestampEnd", 2.5}},
        {{"id", "b"}, {"timestamp", 2}, {"timestampEnd", 2}},
        {{"id", "c"}, {"timestamp", 3}, {"timestampEnd", 1}},
    };
    EXPECT_EQ(markerLines(FCPXMLGenerator::generateMarkersFCPXML(comments)),
              line("24/24s", "36/24s", "Unknown", "[tavrin:a:open] ") + "\n" +
                  line("48/24s", "0/24s", "Unknown", "[tavrin:b:open] ") + "\n" +
                  line("72/24s", "0/24s", "Unknown", "[tavrin:c:open] "));
}

TEST(FCPXMLGenerator, ConvertsSecondsToWholeFrames) {
    EXPECT_EQ(FCPXMLGenerator::secondsToRational(0, 24), "0/24s");
    EXPECT_EQ(FCPXMLGenerator::secondsToRational(1, 24), "24/24s");
    EXPECT_EQ(FCPXMLGenerator::secondsToRational(12.5, 24), "300/24s");
    EXPECT_EQ(FCPXMLGenerator::secondsToRational(0.0625, 24), "2/24s");   // 1.5 frames
    EXPECT_EQ(FCPXMLGenerator::secondsToRational(-0.0625, 24), "-2/24s"); // -1.5 frames
    EXPECT_EQ(FCPXMLGenerator::secondsToRational(0.5 / 24, 24), "1/24s"); // half a frame
    EXPECT_EQ(FCPXMLGenerator::secondsToRational(-0.5 / 24, 24), "-1/24s");
    EXPECT_EQ(FCPXMLGenerator::secondsToRational(0.4 / 24, 24), "0/24s");
    EXPECT_EQ(FCPXMLGenerator::secondsToRational(1001.0 / 30000, 29.97), "1/29s");
}

// Mended: times that are not finite or whose frame count does not fit 64 bits.
TEST(FCPXMLGenerator, ClampsOrZeroesTimesWithoutAFrameCount) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    const double nan = std::nan("");
    EXPECT_EQ(FCPXMLGenerator::secondsToRational(nan, 24), "0/24s");
    EXPECT_EQ(FCPXMLGenerator::secondsToRational(inf, 24), "9223372036854775807/24s");
    EXPECT_EQ(FCPXMLGenerator::secondsToRational(-inf, 24), "-9223372036854775808/24s");
    EXPECT_EQ(FCPXMLGenerator::secondsToRational(1e300, 24), "9223372036854775807/24s");
    EXPECT_EQ(FCPXMLGenerator::secondsToRational(-1e300, 24), "-9223372036854775808/24s");
    // 2^63 / 24 seconds is the first count that no longer fits.
    EXPECT_EQ(FCPXMLGenerator::secondsToRational(9223372036854775808.0 / 24, 24),
              "9223372036854775807/24s");
    EXPECT_EQ(FCPXMLGenerator::secondsToRational(-9223372036854775808.0 / 24, 24),
              "-9223372036854775808/24s");
    EXPECT_EQ(FCPXMLGenerator::secondsToRational(1, nan), "0/0s");
    EXPECT_EQ(FCPXMLGenerator::secondsToRational(1, inf),
              "9223372036854775807/9223372036854775807s");

    // In records a time that is not finite counts as missing, in the sort as well.
    const std::vector<Dictionary> comments = {
        {{"id", "inf"}, {"timestamp", inf}, {"timestampEnd", 5}},
        {{"id", "nan"}, {"timestamp", nan}, {"timestampEnd", inf}},
        {{"id", "huge"}, {"timestamp", -1e300}, {"timestampEnd", 1e300}},
        {{"id", "early"}, {"timestamp", -1}, {"timestampEnd", nan}},
    };
    EXPECT_EQ(markerLines(FCPXMLGenerator::generateMarkersFCPXML(comments)),
              line("-9223372036854775808/24s", "9223372036854775807/24s", "Unknown",
                   "[tavrin:huge:open] ") +
                  "\n" + line("-24/24s", "0/24s", "Unknown", "[tavrin:early:open] ") + "\n" +
                  line("0/24s", "120/24s", "Unknown", "[tavrin:inf:open] ") + "\n" +
                  line("0/24s", "0/24s", "Unknown", "[tavrin:nan:open] "));
}

TEST(FCPXMLGenerator, EscapesTheFiveSpecialCharacters) {
    EXPECT_EQ(xmlEscaped(""), "");
    EXPECT_EQ(xmlEscaped("plain \xC3\xA9"), "plain \xC3\xA9");
    EXPECT_EQ(xmlEscaped("&<>\"'"), "&amp;&lt;&gt;&quot;&apos;");
    EXPECT_EQ(xmlEscaped("&amp;"), "&amp;amp;");
}

// Writer then reader gives back what was written (times to the nearest frame).
TEST(FCPXMLGenerator, RoundTripsThroughTheReader) {
    std::vector<Dictionary> comments;
    const std::string contents[] = {"Fix the cut",
                                    "a < b & c > d",
                                    "\"quoted\" 'single'",
                                    "",
                                    "line\nbreak",
                                    "[tavrin:nested:open] text",
                                    "&amp;lt;",
                                    "\xE2\x80\x94 em dash \xF0\x9F\x8E\xAC"};
    for (int i = 0; i < 64; ++i) {
        Dictionary c = {{"id", "c-" + std::to_string(i)},
                        {"timestamp", (i * 37 % 64) * 1.7},
                        {"userName", i % 5 == 0 ? "A & B <\"x'>" : "Reviewer " + std::to_string(i)},
                        {"content", contents[i % 8]},
                        {"resolved", i % 3 == 0}};
        if (i % 4 != 0)
            c["timestampEnd"] = (i * 37 % 64) * 1.7 + (i % 4) * 0.75;
        comments.push_back(c);
    }
    const auto records = toDictionaries(
        FCPXMLParser::parseMarkers(FCPXMLGenerator::generateMarkersFCPXML(comments)).records());
    ASSERT_EQ(records.size(), comments.size());
    for (const Dictionary& r : records) {
        const int i = std::stoi(r["id"].get<std::string>().substr(2));
        const Dictionary& c = comments[static_cast<std::size_t>(i)];
        EXPECT_EQ(r.size(), 6u);
        EXPECT_EQ(r["userName"], c["userName"]);
        EXPECT_EQ(r["content"], c["content"]);
        EXPECT_EQ(r["resolved"], c["resolved"]);
        EXPECT_NEAR(r["timestamp"].get<double>(), c["timestamp"].get<double>(), 0.5 / 24);
        if (c.contains("timestampEnd"))
            EXPECT_NEAR(r["timestampEnd"].get<double>(), c["timestampEnd"].get<double>(), 1.0 / 24);
        else
            EXPECT_TRUE(r["timestampEnd"].is_null());
    }
    // A record read back writes the same document again.
    const std::string again = FCPXMLGenerator::generateMarkersFCPXML(records);
    EXPECT_EQ(again,
              FCPXMLGenerator::generateMarkersFCPXML(FCPXMLParser::parseMarkers(again).records()));
}

// Mended: identifiers with the tag's own characters, and text with characters
// that attributes do not carry raw. Each document is also read by an XML parser.
TEST(FCPXMLGenerator, RoundTripsEveryIdentifierAndText) {
    struct Case {
        std::string id, content, userName;
        std::string writtenTag;          // how the note begins
        std::string readId, readContent; // what comes back
    };
    const std::vector<Case> cases = {
        {"c:1", "x", "Ann", "[tavrin:c%3A1:open] ", "c:1", "x"},
        {"a]b", "x", "Ann", "[tavrin:a%5Db:open] ", "a]b", "x"},
        {"50%", "x", "Ann", "[tavrin:50%25:open] ", "50%", "x"},
        {"%3A:]", "x", "Ann", "[tavrin:%253A%3A%5D:open] ", "%3A:]", "x"},
        {"plain-7", "x", "Ann", "[tavrin:plain-7:open] ", "plain-7", "x"},
        // An empty identifier is written as always; its empty piece is dropped
        // on reading, so the status word reads as the identifier.
        {"", "x", "Ann", "[tavrin::open] ", "open", "x"},
        {"t", "line\nbreak\r\nand\ttab", "A\tB\nC", "[tavrin:t:open] ", "t",
         "line\nbreak\r\nand\ttab"},
        {"c\x01", std::string("nul\0, bell\x07, \x1F, \xEF\xBF\xBE\xEF\xBF\xBF.", 23),
         "x\x0By\xEF\xBF\xBD", "[tavrin:c%01:open] ", "c\x01", "nul, bell, , ."},
        // An identifier never loses a character XML cannot carry, even when
        // it is made of nothing else.
        {std::string("\0\x1F\xEF\xBF\xBF", 5), "x", "Ann", "[tavrin:%00%1F%EF%BF%BF:open] ",
         std::string("\0\x1F\xEF\xBF\xBF", 5), "x"},
    };
    std::vector<Dictionary> comments;
    for (std::size_t i = 0; i < cases.size(); ++i)
        comments.push_back({{"id", cases[i].id},
                            {"timestamp", static_cast<double>(i)},
                            {"userName", cases[i].userName},
                            {"content", cases[i].content}});
    const std::string document = FCPXMLGenerator::generateMarkersFCPXML(comments);
    EXPECT_NE(document.find("value=\"A&#9;B&#10;C\" note=\"[tavrin:t:open] "
                            "line&#10;break&#13;&#10;and&#9;tab\""),
              std::string::npos);

    pugi::xml_document xml;
    ASSERT_TRUE(
        xml.load_string(document.c_str(), pugi::parse_default | pugi::parse_wconv_attribute))
        << document;
    const pugi::xml_node gap = xml.child("fcpxml")
                                   .child("library")
                                   .child("event")
                                   .child("project")
                                   .child("sequence")
                                   .child("spine")
                                   .child("gap");
    const MarkerList read = FCPXMLParser::parseMarkers(document);
    ASSERT_EQ(read.size(), cases.size());
    std::size_t i = 0;
    for (pugi::xml_node marker : gap.children("marker")) {
        const Case& c = cases[i];
        const std::string note = marker.attribute("note").value();
        EXPECT_EQ(note.substr(0, c.writtenTag.size()), c.writtenTag) << i;
        EXPECT_EQ(note.substr(c.writtenTag.size()), c.readContent) << i;
        EXPECT_EQ(read[i].id, c.readId) << i;
        EXPECT_EQ(read[i].content, c.readContent) << i;
        EXPECT_EQ(std::string(marker.attribute("value").value()), std::string(read[i].userName));
        ++i;
    }
    EXPECT_EQ(i, cases.size());
    EXPECT_EQ(read[6].userName, "A\tB\nC");
    EXPECT_EQ(read[7].userName, "xy\xEF\xBF\xBD"); // U+FFFD is a character; U+000B is not

    // Written again, what was read gives the same document but for the empty
    // identifier, which now is the status word.
    const std::string again = FCPXMLGenerator::generateMarkersFCPXML(read.records());
    EXPECT_EQ(again,
              FCPXMLGenerator::generateMarkersFCPXML(FCPXMLParser::parseMarkers(again).records()));
}

} // namespace
} // namespace tavrin::container
