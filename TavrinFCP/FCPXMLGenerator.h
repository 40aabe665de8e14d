#pragma once
// Writes the marker-only FCPXML document that the editor imports.
// Stateless; never blocks; may be called from any thread.

#include "TavrinFCP/FCPXMLParser.h"
#include "common/Value.h"

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tavrin::container {

struct FCPXMLGenerator {
    // The marker document for the comment records, sorted by "timestamp"
    // (seconds; stable), byte for byte as the editor's importer expects: one
    // self-closing marker per record on a one-hour gap, at 24 frames per
    // second. Never fails; linear in the number of records (plus the sort).
    //
    // The identifier is written with ":", "]" and "%" encoded as "%3A", "%5D"
    // and "%25", so that the reader gives it back whole. In the name and the
    // note, tab, line feed and carriage return are written as character
    // references, and the characters XML 1.0 cannot carry are left out.
    //
    // A "timestamp" or "timestampEnd" that is not a finite number counts as
    // missing (start 0, no duration), in the sort as well.
    static std::string generateMarkersFCPXML(std::span<const MarkerRecord> records);
    // The same for comment records, each read as commentRecord() reads it.
    static std::string generateMarkersFCPXML(const std::vector<Dictionary>& comments);

    // seconds at frameRate (frames per second) as an FCPXML rational time
    // "<frames>/<rate>s": frames = seconds x frameRate rounded half away from
    // zero, rate = frameRate truncated to an integer. Not-a-number gives 0
    // frames; a count beyond the signed 64-bit range (infinities included) is
    // clamped to that range. The rate is treated the same way.
    static std::string secondsToRational(double seconds, double frameRate);
};

// The text with the five XML special characters replaced by entities:
// & -> &amp;, < -> &lt;, > -> &gt;, " -> &quot;, ' -> &apos;.
std::string xmlEscaped(std::string_view text);

} // namespace tavrin::container
