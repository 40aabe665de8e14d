#pragma once
// The marker reader as the ICU regular-expression engine runs it: the
// reference that FCPXMLParser must agree with on documents without a ">"
// inside quoted values. Slow and simple on purpose.

#include "common/Value.h"

#include <string>
#include <vector>

namespace tavrin::container::testing {

// Capture group 1 of every match of "<marker\s+([^>]*?)\/?>" (case-insensitive).
std::vector<std::string> icuMarkerAttributeTexts(const std::string& document);

// Group 1 of the first match of NAME="([^"]*)" (built for this call), entity-decoded.
std::string icuExtractAttr(const std::string& attributes, const std::string& name);

// The marker records built from the matches above, step by step.
std::vector<Dictionary> icuParseMarkers(const std::string& document);

// The time conversion with strtod on the C locale.
double referenceRationalToSeconds(const std::string& text);

} // namespace tavrin::container::testing
