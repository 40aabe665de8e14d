#pragma once
// The simulated editor's state: its library (kept in a file), the active
// sequence, the playhead and playback. Every change is announced to the
// observers (the bus service, the window), whoever made it.
//
// Main thread only: all members are called on the main queue's thread, and
// observers are called there, synchronously, after the change.

#include "common/MainQueue.h"
#include "tools/fcp-sim/SimLibrary.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tavrin::sim {

enum class Change { Playhead, Sequence, Markers, Playing };

class SimEditor {
  public:
    // Takes the library read from (or to be written to) libraryPath.
    SimEditor(SimLibrary library, std::filesystem::path libraryPath, MainQueue& queue);
    ~SimEditor();
    SimEditor(const SimEditor&) = delete;
    SimEditor& operator=(const SimEditor&) = delete;

    void addObserver(std::function<void(Change)> observer);

    const SimLibrary& library() const { return library_; }
    std::size_t activeIndex() const { return active_; }
    SequenceInfo activeSequence() const { return library_.sequence(active_); }
    std::vector<std::string> sequenceNames() const;
    // Makes the first sequence called `name` active; false when there is none.
    // Stops playback.
    bool switchSequence(const std::string& name);
    // The same by place in the library (names may repeat); false when out of range.
    bool switchSequence(std::size_t index);

    // The playhead, a whole number of frames into the active sequence.
    Rational playhead() const;
    // Moves the playhead to the frame boundary nearest to seconds, clamped to
    // the sequence (0 to its last frame boundary). False (no move) for NaN.
    bool setPlayhead(double seconds);
    // While playing, the playhead advances one frame per frame duration on the
    // main queue and stops at the end. Playing from the end starts at 0.
    void play();
    void pause();
    bool playing() const { return timer_ != 0; }

    std::vector<MarkerInfo> markers() const { return library_.markers(active_); }
    // Adds a marker one frame long at the frame nearest to seconds (clamped as
    // the playhead is). Saves the library; when it cannot, nothing changes.
    std::optional<MarkerInfo> addMarker(double seconds, const std::string& note,
                                        const std::string& value, std::string* error);

    // Automation. Each returns false with a reason in *error on failure.
    bool exportProject(const std::filesystem::path& path, std::string* error) const;
    bool saveProject(std::string* error) const;
    // Reads the document at path and imports its markers (SimLibrary::importMarkers);
    // a refused document changes nothing. Saves the library after an import;
    // an import that cannot be saved is refused too. Only regular files are
    // read and written (a FIFO or device is refused, never waited on).
    bool importDocument(const std::filesystem::path& path, std::string* error);

  private:
    std::int64_t lastFrame() const;
    void tick();
    void notify(Change change);

    SimLibrary library_;
    std::filesystem::path libraryPath_;
    MainQueue& queue_;
    std::size_t active_ = 0;
    std::vector<std::int64_t> playheadFrames_; // one per sequence
    MainQueue::TimerId timer_ = 0;
    std::vector<std::function<void(Change)>> observers_;
};

} // namespace tavrin::sim
