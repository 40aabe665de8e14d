#include "tools/fcp-sim/SimEditor.h"

#include "common/Errno.h"
#include "common/FileDescriptor.h"
#include "common/RegularFile.h"
#include "common/Unicode.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

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
    auto found = std::find(names.begin(), names.end(), name);
    return found != names.end() && switchSequence(static_cast<std::size_t>(found - names.begin()));
}

bool SimEditor::switchSequence(std::size_t index) {
    if (index >= library_.sequenceCount())
        return false;
    pause();
    if (index != active_) {
        active_ = index;
        notify(Change::Sequence);
        notify(Change::Playhead);
    }
    return true;
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
    const bool moved = playheadFrames_[active_] < lastFrame();
    if (moved)
        ++playheadFrames_[active_];
    const bool ended = playheadFrames_[active_] >= lastFrame();
    // The next frame is scheduled before observers hear of this one, so that
    // they see playing() true while playback goes on.
    timer_ = ended ? 0
                   : queue_.postAfter(MainQueue::Duration(activeSequence().frameDuration.seconds()),
                                      [this] { tick(); });
    if (moved)
        notify(Change::Playhead);
    if (ended)
        notify(Change::Playing); // reached the end: stopped
}

std::optional<MarkerInfo> SimEditor::addMarker(double seconds, const std::string& note,
                                               const std::string& value, std::string* error) {
    if (!std::isfinite(seconds)) {
        *error = "the marker time is not a number";
        return std::nullopt;
    }
    // The library and its exports must stay well-formed XML.
    if (!isXMLText(note) || !isXMLText(value)) {
        *error = "the marker's note or name holds a character XML cannot carry";
        return std::nullopt;
    }
    auto sequence = activeSequence();
    auto frame = std::clamp<std::int64_t>(Rational::roundToUnits(seconds, sequence.frameDuration),
                                          0, lastFrame());
    // Changed on a copy and taken once saved: a failure changes nothing.
    SimLibrary changed = library_;
    auto marker = changed.addMarker(active_, sequence.frameDuration * frame, sequence.frameDuration,
                                    value, note);
    if (!changed.save(libraryPath_, error))
        return std::nullopt;
    library_ = std::move(changed);
    notify(Change::Markers);
    return marker;
}

bool SimEditor::exportProject(const std::filesystem::path& path, std::string* error) const {
    // Only a regular file is written: a FIFO or device named by a caller
    // would block the editor's main loop (O_NONBLOCK refuses a FIFO without
    // a reader instead of waiting for one).
    FileDescriptor fd(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644));
    struct stat info;
    if (!fd.valid() || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        ::ftruncate(fd.get(), 0) != 0) {
        *error = "cannot write " + path.string() + (fd.valid() ? ": not a regular file" : "");
        return false;
    }
    std::string text = library_.exportProject(active_);
    for (std::string_view rest = text; !rest.empty();) {
        ssize_t n = ::write(fd.get(), rest.data(), rest.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *error = "cannot write " + path.string() + ": " + errnoText(errno);
            return false;
        }
        rest.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool SimEditor::saveProject(std::string* error) const {
    return library_.save(libraryPath_, error);
}

bool SimEditor::importDocument(const std::filesystem::path& path, std::string* error) {
    std::string failure;
    const std::optional<std::string> text = readRegularFile(path.string(), &failure);
    if (!text) {
        *error = "cannot read " + path.string() + ": " + failure;
        return false;
    }
    // Imported into a copy and taken once saved: an import that cannot be
    // kept is refused whole, rather than shown and reported as refused.
    SimLibrary changed = library_;
    if (!changed.importMarkers(active_, *text, error) || !changed.save(libraryPath_, error))
        return false;
    library_ = std::move(changed);
    notify(Change::Markers);
    return true;
}

} // namespace tavrin::sim
