#pragma once
// The simulated editor's interface on the D-Bus session bus.
//
//   bus name     ai.tavrin.fcp.Simulator      (well-known; one editor per bus)
//   object path  /ai/tavrin/fcp/Simulator
//   interface    ai.tavrin.fcp.Simulator      (org.freedesktop.DBus.Introspectable too)
//
// Times are FCPXML rational strings ("24024/24000s") and/or seconds (double).
// JSON answers are UTF-8 JSON text in a string; their keys are listed here and
// are what `fcp-sim ctl` prints.
//
// Methods
//   GetSequence() -> s json    the active sequence: {"name", "duration" (s),
//                              "frameDuration" (s), "frameRate" (fps, 2 decimals),
//                              "start" (s), "width", "height", "durationTime",
//                              "frameDurationTime", "startTime" (rational strings),
//                              "playhead" (s), "playing" (bool)}
//   ListSequences() -> s json  [{"name", "active"}] in library order
//   GetPlayhead() -> (s time, d seconds)
//   SetPlayhead(d seconds) -> (s time, d seconds)
//                              snaps to the nearest frame, clamps to the
//                              sequence; NaN is an InvalidArgs error
//   Play(), Pause()            one frame per frame duration while playing
//   SwitchSequence(s name) -> b         false when no sequence has that name
//   GetMarkers() -> s json     [{"start", "duration" (s, timeline time),
//                              "value", "note"}] in document order
//   AddMarker(d seconds, s note, s value) -> s json   the new marker
//   ExportProject(s path) -> s path     the active project as FCPXML 1.11
//   SaveProject()                       writes the library file
//   ImportDocument(s path) -> b         replaces the tagged markers ("[tavrin:"
//                                       note) by the document's tagged markers;
//                                       untagged ones are left alone; false (and no
//                                       change) when it does not parse or has
//                                       no fcpxml root
//   RenderExport(s folder, s name, t bytes, d seconds) -> s json
//                              writes folder/name as an export does (bursts
//                              over about `seconds`), answers when it is
//                              closed: {"path", "size", "sha256"}
//   Quit()
// Failures are D-Bus errors (org.freedesktop.DBus.Error.Failed) with a message.
//
// Signals
//   PlayheadChanged(s time, d seconds)  after every move of the playhead
//   ActiveSequenceChanged(s name)       after a switch
//   MarkersChanged()                    after markers were added or imported

namespace tavrin::sim {

inline constexpr const char* kBusName = "ai.tavrin.fcp.Simulator";
inline constexpr const char* kObjectPath = "/ai/tavrin/fcp/Simulator";
inline constexpr const char* kInterface = "ai.tavrin.fcp.Simulator";

inline constexpr const char* kIntrospectionXML = R"(<node>
  <interface name="ai.tavrin.fcp.Simulator">
    <method name="GetSequence"><arg type="s" name="json" direction="out"/></method>
    <method name="ListSequences"><arg type="s" name="json" direction="out"/></method>
    <method name="GetPlayhead">
      <arg type="s" name="time" direction="out"/><arg type="d" name="seconds" direction="out"/>
    </method>
    <method name="SetPlayhead">
      <arg type="d" name="seconds" direction="in"/>
      <arg type="s" name="time" direction="out"/><arg type="d" name="seconds" direction="out"/>
    </method>
    <method name="Play"/>
    <method name="Pause"/>
    <method name="SwitchSequence">
      <arg type="s" name="name" direction="in"/><arg type="b" name="found" direction="out"/>
    </method>
    <method name="GetMarkers"><arg type="s" name="json" direction="out"/></method>
    <method name="AddMarker">
      <arg type="d" name="seconds" direction="in"/><arg type="s" name="note" direction="in"/>
      <arg type="s" name="value" direction="in"/><arg type="s" name="json" direction="out"/>
    </method>
    <method name="ExportProject">
      <arg type="s" name="path" direction="in"/><arg type="s" name="path" direction="out"/>
    </method>
    <method name="SaveProject"/>
    <method name="ImportDocument">
      <arg type="s" name="path" direction="in"/><arg type="b" name="success" direction="out"/>
    </method>
    <method name="RenderExport">
      <arg type="s" name="folder" direction="in"/><arg type="s" name="name" direction="in"/>
      <arg type="t" name="bytes" direction="in"/><arg type="d" name="seconds" direction="in"/>
      <arg type="s" name="json" direction="out"/>
    </method>
    <method name="Quit"/>
    <signal name="PlayheadChanged"><arg type="s" name="time"/><arg type="d" name="seconds"/></signal>
    <signal name="ActiveSequenceChanged"><arg type="s" name="name"/></signal>
    <signal name="MarkersChanged"/>
  </interface>
</node>)";

} // namespace tavrin::sim
