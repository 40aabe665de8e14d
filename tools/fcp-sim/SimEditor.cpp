#include "tools/fcp-sim/SimEditor.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>

namespace tavrin::sim {

SimEditor::SimEditor(SimLibrary library, std::filesystem::path libraryPath, MainQueue& queue)
    : library_(std::move(library)), libraryPath_(std::move(libraryPath)), queue_(queue),
      playheadFrames_(library_.sequenceCount(), 0) {
}

SimEditor::~SimEditor() {
    if (timer_)
        queue_.invalidate(timer_);
}

void SimEditor::addObserver(std::function<void(Change)> observer) {
    observers_.push_back(std::move(observer));
}

void SimEditor::notify(Change change) {
    for (const auto& observer : observers_)
        observer(change);
}

std::vector<std::string> SimEditor::sequenceNames() const {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < library_.sequenceCount(); ++i)
        names.push_back(library_.sequence(i).name);
    return names;
}

bool SimEditor::switchSequence(const std::string& name) {
    auto names = sequenceNames();
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i] != name)
            continue;
        pause();
        if (i != active_) {
            active_ = i;
            notify(Change::Sequence);
            notify(Change::Playhead);
        }
        return true;
    }
    return false;
}

std::int64_t SimEditor::lastFrame() const {
    auto sequence = activeSequence();
    return std::max<std::int64_t>(0, sequence.duration.floorDiv(sequence.frameDuration));
}

Rational SimEditor::playhead() const {
    return activeSequence().frameDuration * playheadFrames_[active_];
}

bool SimEditor::setPlayhead(double seconds) {
    if (std::isnan(seconds))
        return false;
    auto frame = Rational::roundToUnits(seconds, activeSequence().frameDuration);
    frame = std::clamp<std::int64_t>(frame, 0, lastFrame());
    if (frame != playheadFrames_[active_]) {
        playheadFrames_[active_] = frame;
        notify(Change::Playhead);
    }
    return true;
}

void SimEditor::play() {
    if (timer_)
        return;
    if (playheadFrames_[active_] >= lastFrame()) {
        playheadFrames_[active_] = 0;
        notify(Change::Playhead);
    }
    timer_ = queue_.postAfter(MainQueue::Duration(activeSequence().frameDuration.seconds()),
                              [this] { tick(); });
    notify(Change::Playing);
}

void SimEditor::pause() {
    if (!timer_)
        return;
    queue_.invalidate(timer_);
    timer_ = 0;
    notify(Change::Playing);
}

void SimEditor::tick() {
    timer_ = 0;
    if (playheadFrames_[active_] < lastFrame()) {
        ++playheadFrames_[active_];
        notify(Change::Playhead);
    }
    if (playheadFrames_[active_] >= lastFrame()) {
        notify(Change::Playing); // reached the end: stopped
        return;
    }
    timer_ = queue_.postAfter(MainQueue::Duration(activeSequence().frameDuration.seconds()),
                              [this] { tick(); });
}

std::optional<MarkerInfo> SimEditor::addMarker(double seconds, const std::string& note,
                                               const std::string& value, std::string* error) {
    if (!std::isfinite(seconds)) {
        *error = "the marker time is not a number";
        return std::nullopt;
    }
    auto sequence = activeSequence();
    auto frame = std::clamp<std::int64_t>(Rational::roundToUnits(seconds, sequence.frameDuration),
                                          0, lastFrame());
    auto marker = library_.addMarker(active_, sequence.frameDuration * frame,
                                     sequence.frameDuration, value, note);
    notify(Change::Markers);
    if (!library_.save(libraryPath_, error))
        return std::nullopt;
    return marker;
}

bool SimEditor::exportProject(const std::filesystem::path& path, std::string* error) const {
    std::string text = library_.exportProject(active_);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        *error = "cannot write " + path.string();
        return false;
    }
    return true;
}

bool SimEditor::saveProject(std::string* error) const {
    return library_.save(libraryPath_, error);
}

bool SimEditor::importDocument(const std::filesystem::path& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read " + path.string();
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (!library_.importMarkers(active_, text.str(), error))
        return false;
    notify(Change::Markers);
    return library_.save(libraryPath_, error);
}

} // namespace tavrin::sim
