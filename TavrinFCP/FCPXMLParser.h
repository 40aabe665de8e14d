#pragma once
// Reads the markers this system wrote out of an exported FCPXML document.
// Stateless; every operation is a pure function of its arguments and may be
// called from any thread.

#include "common/Value.h"

#include <string>
#include <string_view>
#include <vector>

namespace tavrin::container {

struct FCPXMLParser {
    // One marker record per tagged marker element ("[tavrin:" note), in
    // document order, each with the six keys "id", "timestamp" (seconds),
    // "timestampEnd" (seconds or null), "userName", "content", "resolved".
    // Never fails; linear in the length of the document.
    static std::vector<Dictionary> parseMarkers(std::string_view document);

    // The entity-decoded value of attribute `name` in an element's attribute
    // text, or "" when it is not there.
    static std::string extractAttr(std::string_view attributes, std::string_view name);

    // An FCPXML time ("1001/30000s", "3600s") in seconds; 0 for anything unreadable.
    static double rationalToSeconds(std::string_view text);
};

} // namespace tavrin::container
