#pragma once
// The editor's workflow-extension host, as the panel sees it: the host object,
// its timeline, the active sequence, and the observer the timeline notifies.
//
// These interfaces belong to the hosting program (the editor, the simulated
// editor, or a test host); the panel only calls the members below. The host
// decides on which thread it calls an observer and how it holds one.

#include "ReviewPanel/CMTime.h"

#include <memory>
#include <string>

namespace tavrin::panel {

// Receives the timeline's change notifications. Both members are optional:
// the defaults do nothing.
class FCPXTimelineObserver {
  public:
    virtual ~FCPXTimelineObserver() = default;
    virtual void playheadTimeChanged() {}
    virtual void activeSequenceChanged() {}
};

class FCPXSequence {
  public:
    virtual ~FCPXSequence() = default;
    virtual std::string name() const = 0;
    virtual CMTime duration() const = 0;
    // The length of one frame.
    virtual CMTime frameDuration() const = 0;
    virtual CMTime start() const = 0;
};

class FCPXTimeline {
  public:
    virtual ~FCPXTimeline() = default;
    virtual CMTime playheadTime() = 0;
    virtual void movePlayheadTo(CMTime time) = 0;
    // The active sequence, or null when none is active.
    virtual std::shared_ptr<FCPXSequence> activeSequence() = 0;
    // Registers / unregisters an observer; how it is held is the host's choice.
    virtual void add(std::shared_ptr<FCPXTimelineObserver> observer) = 0;
    virtual void remove(std::shared_ptr<FCPXTimelineObserver> observer) = 0;
};

class FCPXHost {
  public:
    virtual ~FCPXHost() = default;
    // The timeline, or null when the host has none.
    virtual std::shared_ptr<FCPXTimeline> timeline() = 0;
};

} // namespace tavrin::panel

// Supplied by the hosting program (not by the panel's own code): returns the
// host object, which the hosting program keeps alive for the life of the
// process. The panel finds it at run time with dlsym(RTLD_DEFAULT, ...), so
// an executable that defines it must export its symbols (-rdynamic).
extern "C" tavrin::panel::FCPXHost* ProExtensionHostSingleton(void);
using ProExtensionHostSingletonFunction = tavrin::panel::FCPXHost* (*)(void);
