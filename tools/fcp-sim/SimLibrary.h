#pragma once
// The simulated editor's library: events holding projects, each project a
// sequence whose spine holds clips (and gaps) with markers on them. The
// library *is* an FCPXML 1.11 document, kept in memory as a pugixml tree and
// written back as it is, so what the editor exports is a real FCPXML file.
//
// Times: FCPXML rational seconds. A marker's start is in the local time of
// the clip that holds it; the accessors below give timeline (sequence) times.
// Not thread-safe: the editor uses it from its main thread only.

#include "tools/fcp-sim/Rational.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pugi {
class xml_document;
}

namespace tavrin::sim {

struct SequenceInfo {
    std::string name; // the project's name
    Rational frameDuration;
    Rational duration;
    Rational start; // the sequence's tcStart
    int width = 0;
    int height = 0;
};

struct ClipInfo {
    std::string name;
    Rational offset; // timeline time of its first frame
    Rational duration;
    bool gap = false;
};

struct MarkerInfo {
    Rational start; // timeline time
    Rational duration;
    std::string value;
    std::string note;
    bool tagged() const { return note.rfind("[tavrin:", 0) == 0; }
};

class SimLibrary {
  public:
    SimLibrary();
    ~SimLibrary();
    SimLibrary(SimLibrary&&) noexcept;
    SimLibrary& operator=(SimLibrary&&) noexcept;
    // A deep copy: a change is made on one and taken only once it is saved.
    SimLibrary(const SimLibrary& other);

    // Reads a library file. No value (and a reason in *error) when it cannot be
    // read, does not parse, has no fcpxml root or holds no project.
    static std::optional<SimLibrary> load(const std::filesystem::path& path, std::string* error);
    // The first-start library: "Demo Cut" (23.976 fps, 1920 x 1080, about ten
    // minutes, several clips, untagged markers) and "Teaser" (25 fps, one minute).
    static SimLibrary demo();

    // Writes the library atomically (a side file in the same folder, then a
    // rename), creating the folder when missing. False with a reason on failure.
    bool save(const std::filesystem::path& path, std::string* error) const;

    std::size_t sequenceCount() const;
    SequenceInfo sequence(std::size_t index) const;
    // Top-level items of the sequence's spine, in timeline order.
    std::vector<ClipInfo> clips(std::size_t index) const;
    // Clips connected to those items (with a lane), at their timeline times.
    std::vector<ClipInfo> connectedClips(std::size_t index) const;
    // Every marker of the sequence (nested clips included), in document order.
    std::vector<MarkerInfo> markers(std::size_t index) const;

    // Places a marker at timeline time `at` in the clip covering it.
    MarkerInfo addMarker(std::size_t index, Rational at, Rational duration, std::string_view value,
                         std::string_view note);

    // The project as a complete FCPXML document (resources, library, event and
    // this project only), UTF-8 text.
    std::string exportProject(std::size_t index) const;

    // Imports a marker document: when it parses and has an fcpxml root, the
    // sequence's tagged markers are replaced by the document's tagged markers,
    // each placed at its timeline time (clamped to 0); untagged markers, the
    // sequence's and the document's, are left alone. Otherwise nothing
    // changes and false is returned with a reason.
    bool importMarkers(std::size_t index, std::string_view document, std::string* error);

  private:
    std::unique_ptr<pugi::xml_document> doc_;
};

} // namespace tavrin::sim
