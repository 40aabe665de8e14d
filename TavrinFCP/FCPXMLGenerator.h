#pragma once
// Writes the marker-only FCPXML document that the editor imports.
// Stateless; may be called from any thread.

#include "common/Value.h"

#include <string>
#include <string_view>
#include <vector>

namespace tavrin::container {

struct FCPXMLGenerator {
    // The marker document for the comment records, sorted by "timestamp"
    // (stable), byte for byte as the editor's importer expects. Never fails.
    static std::string generateMarkersFCPXML(const std::vector<Dictionary>& comments);

    // seconds at frameRate as an FCPXML rational time: "<frames>/<rate>s".
    static std::string secondsToRational(double seconds, double frameRate);
};

// The text with the five XML special characters replaced by entities.
std::string xmlEscaped(std::string_view text);

} // namespace tavrin::container
