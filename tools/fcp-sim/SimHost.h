#pragma once
// The editor host a program gets by linking fcp_sim_host: it defines
// ProExtensionHostSingleton (ReviewPanel/FCPXHost.h) and answers for the
// simulated editor on the session bus.
//
// - The timeline is always there; its active sequence is absent while no
//   editor owns the bus name, and the host picks the editor up when it
//   appears (name-owner tracking).
// - Reads and seeks are blocking bus calls on the caller's thread (any thread).
// - Observers are held strongly from add() to remove() and are called, in
//   the order the editor's signals arrive, from the host's own thread (never
//   the main thread): playheadTimeChanged for PlayheadChanged,
//   activeSequenceChanged for ActiveSequenceChanged and when the editor
//   appears or goes away.
// - The host is made on the first call of ProExtensionHostSingleton, which
//   waits (at most a few seconds) until it knows whether an editor is there,
//   and lives as long as the process.

#include "ReviewPanel/FCPXHost.h"

namespace tavrin::sim {

// An FCPXML rational time string ("1001/24000s") as a host time; invalid
// when it cannot be read.
panel::CMTime hostTime(const char* rational);

} // namespace tavrin::sim
