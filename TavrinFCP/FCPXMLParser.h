#pragma once
// Reads the markers this system wrote out of an exported FCPXML document.
// Stateless; every operation is a pure function of its arguments, never blocks
// and may be called from any thread.
//
// The document is scanned as text, not parsed as XML: a marker element is
// "<marker" (letters in any case) followed by Unicode white space, and its
// attribute text runs to the first ">" that stands outside a quoted value,
// without a "/" right before that ">". Text is UTF-8; positions are bytes.

#include "common/Value.h"

#include <string>
#include <string_view>
#include <vector>

namespace tavrin::container {

struct FCPXMLParser {
    // One marker record per tagged marker element ("[tavrin:" note), in
    // document order, each with the six keys "id", "timestamp" (seconds),
    // "timestampEnd" (seconds or null), "userName", "content", "resolved".
    // Never fails; linear in the length of the document, constant stack.
    static std::vector<Dictionary> parseMarkers(std::string_view document);

    // The attribute text of every marker element, in document order: the
    // views point into `document`. This is what parseMarkers reads.
    static std::vector<std::string_view> markerAttributeTexts(std::string_view document);

    // The entity-decoded value of attribute `name` in an element's attribute
    // text, or "" when it is not there: the first `name="..."` in the text
    // (the name is not anchored, so "note" also matches "xnote").
    static std::string extractAttr(std::string_view attributes, std::string_view name);

    // An FCPXML time ("1001/30000s", "3600s") in seconds; 0 for anything
    // unreadable. Always finite.
    static double rationalToSeconds(std::string_view text);
};

} // namespace tavrin::container
