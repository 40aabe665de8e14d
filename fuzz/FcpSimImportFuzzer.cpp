// Fuzzes the simulated editor's import of a marker document (outside input:
// whatever file a script hands the editor) into the demo library. Checks that
// it never crashes, that untagged markers survive every import, that no
// marker lands before the timeline's start, and that the project still
// exports as a document the editor can import again.

#include "tools/fcp-sim/SimLibrary.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

std::string untagged(const tavrin::sim::SimLibrary& library) {
    std::string all;
    for (const auto& marker : library.markers(0))
        if (!marker.tagged())
            all += marker.start.text() + " " + marker.value + " " + marker.note + "\n";
    return all;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view document(reinterpret_cast<const char*>(data), size);
    tavrin::sim::Rational::parse(document);

    static const auto demo = tavrin::sim::SimLibrary::demo();
    static const std::string before = untagged(demo);
    auto library = tavrin::sim::SimLibrary::demo();
    std::string error;
    bool imported = library.importMarkers(0, document, &error);
    if (untagged(library) != before)
        std::abort();
    for (const auto& marker : library.markers(0))
        if (marker.start < tavrin::sim::Rational{})
            std::abort();
    if (imported && !library.importMarkers(0, library.exportProject(0), &error))
        std::abort();
    return 0;
}
