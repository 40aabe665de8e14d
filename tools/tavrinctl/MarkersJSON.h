#pragma once
// The JSON text that `tavrinctl markers read` prints for marker records,
// written in pieces as it is formed rather than built whole: an array of
// six-key objects with the keys in sorted order and two-space indents, the
// numbers and strings exactly as the JSON library prints them, and a final
// line feed.

#include "TavrinFCP/FCPXMLParser.h"

#include <functional>
#include <span>
#include <string_view>

namespace tavrin::ctl {

// Whether JSON can carry the records: every string valid UTF-8, every time
// finite. Checked before anything is written, so that bad text prints nothing.
bool markersAreJSON(std::span<const container::MarkerRecord> records);

// Passes the text to write in pieces of about a mebibyte, in order. Stops and
// returns false as soon as write returns false. The records must pass
// markersAreJSON.
bool writeMarkersJSON(std::span<const container::MarkerRecord> records,
                      const std::function<bool(std::string_view)>& write);

} // namespace tavrin::ctl
