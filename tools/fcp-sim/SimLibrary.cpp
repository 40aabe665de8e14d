#include "tools/fcp-sim/SimLibrary.h"

#include "common/RegularFile.h"
#include "common/Unicode.h"

#include <pugixml.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace tavrin::sim {

namespace {

constexpr unsigned kParseFlags =
    pugi::parse_default | pugi::parse_declaration | pugi::parse_doctype;

Rational timeAttribute(const pugi::xml_node& node, const char* name, Rational fallback = {}) {
    auto attribute = node.attribute(name);
    if (!attribute)
        return fallback;
    return Rational::parse(attribute.value()).value_or(fallback);
}

// Maps a time in `element`'s local time to the time of its sequence, walking
// up through anchored clips and storylines: each level's local time t lies at
// offset + (t - start) in its parent's time.
Rational toSequenceTime(pugi::xml_node element, Rational t) {
    for (; element && std::strcmp(element.name(), "sequence") != 0; element = element.parent()) {
        if (element.type() != pugi::node_element)
            break;
        t = timeAttribute(element, "offset") + (t - timeAttribute(element, "start"));
    }
    return t;
}

std::vector<pugi::xml_node> projectNodes(const pugi::xml_document& doc) {
    std::vector<pugi::xml_node> projects;
    auto library = doc.document_element().child("library");
    for (auto event : library.children("event"))
        for (auto project : event.children("project"))
            if (project.child("sequence"))
                projects.push_back(project);
    return projects;
}

// Whether every name, attribute and text of the tree is text XML can carry.
// pugixml passes malformed UTF-8 and references such as "&#7;" or "&#xD800;"
// through, and would write them back where other readers refuse them.
bool treeIsXMLText(pugi::xml_node root) {
    struct Walker : pugi::xml_tree_walker {
        bool ok = true;
        bool for_each(pugi::xml_node& node) override {
            ok = isXMLText(node.name()) && isXMLText(node.value());
            for (auto attribute = node.first_attribute(); ok && attribute;
                 attribute = attribute.next_attribute())
                ok = isXMLText(attribute.name()) && isXMLText(attribute.value());
            return ok;
        }
    } walker;
    root.traverse(walker);
    return walker.ok;
}

bool isTagged(const pugi::xml_node& marker) {
    return std::string_view(marker.attribute("note").value()).rfind("[tavrin:", 0) == 0;
}

MarkerInfo markerInfo(const pugi::xml_node& marker) {
    return MarkerInfo{toSequenceTime(marker.parent(), timeAttribute(marker, "start")),
                      timeAttribute(marker, "duration"), marker.attribute("value").value(),
                      marker.attribute("note").value()};
}

// The primary storyline's item covering timeline time t (the nearest one
// when t lies outside them all); empty when the spine has no items.
pugi::xml_node coveringItem(const pugi::xml_node& spine, Rational t) {
    pugi::xml_node first, last;
    for (auto item : spine.children()) {
        if (item.type() != pugi::node_element || !item.attribute("duration"))
            continue;
        if (!first)
            first = item;
        last = item;
        Rational offset = timeAttribute(item, "offset");
        if (offset <= t && t < offset + timeAttribute(item, "duration"))
            return item;
    }
    if (first && t < timeAttribute(first, "offset"))
        return first;
    return last;
}

// Inserts a marker element into `clip`, keeping its markers in time order.
pugi::xml_node insertMarker(pugi::xml_node clip, Rational localStart) {
    pugi::xml_node after, firstMarker;
    for (auto existing : clip.children("marker")) {
        if (!firstMarker)
            firstMarker = existing;
        if (timeAttribute(existing, "start") <= localStart)
            after = existing;
    }
    if (after)
        return clip.insert_child_after("marker", after);
    if (firstMarker)
        return clip.insert_child_before("marker", firstMarker);
    return clip.append_child("marker");
}

std::string demoText() {
    struct Clip {
        const char* name;
        std::int64_t frames;
        bool gap = false;
    };
    struct Mark {
        std::int64_t frame;
        const char* value;
        const char* note;
    };
    std::ostringstream out;
    auto t = [](std::int64_t frames, Rational frame) { return (frame * frames).text(); };
    auto project = [&](const char* name, const char* format, Rational frame,
                       const std::vector<Clip>& clips, const std::vector<std::vector<Mark>>& marks,
                       const char* firstAsset) {
        std::int64_t total = 0;
        for (const auto& clip : clips)
            total += clip.frames;
        out << "      <project name=\"" << name << "\">\n        <sequence format=\"" << format
            << "\" duration=\"" << t(total, frame)
            << "\" tcStart=\"0s\" tcFormat=\"NDF\" audioLayout=\"stereo\" audioRate=\"48k\">\n"
            << "          <spine>\n";
        std::int64_t offset = 0;
        int asset = std::atoi(firstAsset);
        for (std::size_t i = 0; i < clips.size(); ++i) {
            const Clip& clip = clips[i];
            // Local time equals timeline time: start = offset.
            std::string times = "offset=\"" + t(offset, frame) + "\" start=\"" + t(offset, frame) +
                                "\" duration=\"" + t(clip.frames, frame) + "\"";
            if (clip.gap)
                out << "            <gap name=\"" << clip.name << "\" " << times << ">\n";
            else
                out << "            <asset-clip ref=\"r" << asset++ << "\" name=\"" << clip.name
                    << "\" " << times << " format=\"" << format << "\" tcFormat=\"NDF\">\n";
            for (const auto& mark : marks[i]) {
                out << "              <marker start=\"" << t(mark.frame, frame) << "\" duration=\""
                    << frame.text() << "\" value=\"" << mark.value << "\"";
                if (*mark.note)
                    out << " note=\"" << mark.note << "\"";
                out << "/>\n";
            }
            if (std::strcmp(clip.name, "Interview A") == 0) {
                // A connected B-roll clip above the interview, with a marker of its own.
                out << "              <asset-clip ref=\"r11\" lane=\"1\" name=\"B-Roll Harbour\" "
                    << "offset=\"" << t(4800, frame) << "\" start=\"" << t(4800, frame)
                    << "\" duration=\"" << t(480, frame) << "\" format=\"" << format << "\">\n"
                    << "                <marker start=\"" << t(4900, frame) << "\" duration=\""
                    << frame.text() << "\" value=\"Cutaway\" note=\"Hold the boats longer\"/>\n"
                    << "              </asset-clip>\n";
            }
            out << (clip.gap ? "            </gap>\n" : "            </asset-clip>\n");
            offset += clip.frames;
        }
        out << "          </spine>\n        </sequence>\n      </project>\n";
    };

    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE fcpxml>\n"
        << "<fcpxml version=\"1.11\">\n  <resources>\n"
        << "    <format id=\"r1\" name=\"FFVideoFormat1080p2398\" frameDuration=\"1001/24000s\" "
           "width=\"1920\" height=\"1080\" colorSpace=\"1-1-1 (Rec. 709)\"/>\n"
        << "    <format id=\"r2\" name=\"FFVideoFormat1080p25\" frameDuration=\"1/25s\" "
           "width=\"1920\" height=\"1080\" colorSpace=\"1-1-1 (Rec. 709)\"/>\n";
    const char* assets[] = {"Opening Wide", "Interview A",  "Harbour Walk",
                            "Interview B",  "Street Scene", "Closing Title",
                            "Teaser Open",  "Teaser Hero",  "B-Roll Harbour"};
    for (int i = 0; i < 9; ++i)
        out << "    <asset id=\"r" << i + 3 << "\" name=\"" << assets[i]
            << "\" start=\"0s\" duration=\"3600s\" hasVideo=\"1\" hasAudio=\"1\" format=\""
            << (i == 6 || i == 7 ? "r2" : "r1") << "\">\n      <media-rep kind=\"original-media\" "
            << "src=\"file:///media/" << i + 3 << ".mov\"/>\n    </asset>\n";
    out << "  </resources>\n  <library>\n    <event name=\"Demo Event\">\n";
    project("Demo Cut", "r1", Rational::make(1001, 24000),
            {{"Opening Wide", 2400},
             {"Interview A", 3600},
             {"Harbour Walk", 1440},
             {"Interview B", 2880},
             {"Street Scene", 2160},
             {"Closing Title", 1920}},
            {{{240, "Music in", "Start of the score"}},
             {{3000, "Check levels", "Audio dips here"}},
             {},
             {{9000, "Colour", "Match the previous shot"}},
             {},
             {{13000, "End card", ""}}},
            "3");
    project("Teaser", "r2", Rational::make(1, 25),
            {{"Teaser Open", 500}, {"Gap", 100, true}, {"Teaser Hero", 900}},
            {{}, {}, {{800, "Logo", "Logo lands on the beat"}}}, "9");
    out << "    </event>\n  </library>\n</fcpxml>\n";
    return out.str();
}

} // namespace

SimLibrary::SimLibrary() : doc_(std::make_unique<pugi::xml_document>()) {
}
SimLibrary::~SimLibrary() = default;
SimLibrary::SimLibrary(SimLibrary&&) noexcept = default;
SimLibrary& SimLibrary::operator=(SimLibrary&&) noexcept = default;
SimLibrary::SimLibrary(const SimLibrary& other) : SimLibrary() {
    doc_->reset(*other.doc_);
}

std::optional<SimLibrary> SimLibrary::load(const std::filesystem::path& path, std::string* error) {
    SimLibrary library;
    // Read as a regular file only: a folder gave a misleading reason and a
    // FIFO named as the library hung the editor's start.
    std::string failure;
    const std::optional<std::string> text = readRegularFile(path.string(), &failure);
    if (!text) {
        *error = path.string() + ": " + failure;
        return std::nullopt;
    }
    auto result = library.doc_->load_buffer(text->data(), text->size(), kParseFlags);
    if (!result) {
        *error = path.string() + ": " + result.description() + " at byte " +
                 std::to_string(result.offset);
        return std::nullopt;
    }
    if (std::strcmp(library.doc_->document_element().name(), "fcpxml") != 0) {
        *error = path.string() + ": no fcpxml root";
        return std::nullopt;
    }
    if (!treeIsXMLText(*library.doc_)) {
        *error = path.string() + ": holds text that is not well-formed XML (malformed UTF-8 or a "
                                 "character XML cannot carry)";
        return std::nullopt;
    }
    if (library.sequenceCount() == 0) {
        *error = path.string() + ": the library holds no project with a sequence";
        return std::nullopt;
    }
    return library;
}

SimLibrary SimLibrary::demo() {
    SimLibrary library;
    std::string text = demoText();
    library.doc_->load_buffer(text.data(), text.size(), kParseFlags);
    return library;
}

bool SimLibrary::save(const std::filesystem::path& path, std::string* error) const {
    std::error_code ec;
    if (path.has_parent_path())
        std::filesystem::create_directories(path.parent_path(), ec);
    std::ostringstream text;
    doc_->save(text, "  ", pugi::format_default, pugi::encoding_utf8);
    std::string body = text.str();

    std::filesystem::path dir = path.has_parent_path() ? path.parent_path() : ".";
    std::string side = (dir / ("." + path.filename().string() + ".XXXXXX")).string();
    int fd = mkstemp(side.data());
    if (fd < 0) {
        *error = "cannot create a file beside " + path.string() + ": " + std::strerror(errno);
        return false;
    }
    std::size_t written = 0;
    while (written < body.size()) {
        ssize_t n = ::write(fd, body.data() + written, body.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += static_cast<std::size_t>(n);
    }
    // The library keeps its permissions (a private one stays private); a new
    // one is readable by all, as the editor makes it.
    struct stat before {};
    const mode_t mode = ::stat(path.c_str(), &before) == 0 ? before.st_mode & 07777 : 0644;
    bool ok = written == body.size() && fchmod(fd, mode) == 0 && fsync(fd) == 0;
    int writeErrno = errno;
    ok = (::close(fd) == 0) && ok;
    if (ok && std::rename(side.c_str(), path.c_str()) == 0)
        return true;
    *error = "cannot write " + path.string() + ": " + std::strerror(ok ? errno : writeErrno);
    ::unlink(side.c_str());
    return false;
}

std::size_t SimLibrary::sequenceCount() const {
    return projectNodes(*doc_).size();
}

SequenceInfo SimLibrary::sequence(std::size_t index) const {
    auto project = projectNodes(*doc_).at(index);
    auto sequence = project.child("sequence");
    SequenceInfo info;
    info.name = project.attribute("name").value();
    info.frameDuration = Rational::make(1, 24);
    auto format =
        doc_->document_element()
            .child("resources")
            .find_child_by_attribute("format", "id", sequence.attribute("format").value());
    if (format) {
        auto frame = timeAttribute(format, "frameDuration", info.frameDuration);
        if (Rational{} < frame)
            info.frameDuration = frame;
        info.width = format.attribute("width").as_int();
        info.height = format.attribute("height").as_int();
    }
    info.start = timeAttribute(sequence, "tcStart");
    if (sequence.attribute("duration")) {
        info.duration = timeAttribute(sequence, "duration");
    } else {
        for (const auto& clip : clips(index))
            if (info.duration < clip.offset + clip.duration)
                info.duration = clip.offset + clip.duration;
    }
    return info;
}

std::vector<ClipInfo> SimLibrary::clips(std::size_t index) const {
    auto spine = projectNodes(*doc_).at(index).child("sequence").child("spine");
    std::vector<ClipInfo> clips;
    for (auto item : spine.children()) {
        if (item.type() != pugi::node_element || !item.attribute("duration"))
            continue;
        clips.push_back(ClipInfo{item.attribute("name").value(), timeAttribute(item, "offset"),
                                 timeAttribute(item, "duration"),
                                 std::strcmp(item.name(), "gap") == 0});
    }
    return clips;
}

std::vector<ClipInfo> SimLibrary::connectedClips(std::size_t index) const {
    auto spine = projectNodes(*doc_).at(index).child("sequence").child("spine");
    std::vector<ClipInfo> clips;
    for (auto item : spine.children())
        for (auto connected : item.children())
            if (connected.attribute("lane") && connected.attribute("duration"))
                clips.push_back(ClipInfo{connected.attribute("name").value(),
                                         toSequenceTime(item, timeAttribute(connected, "offset")),
                                         timeAttribute(connected, "duration"), false});
    return clips;
}

std::vector<MarkerInfo> SimLibrary::markers(std::size_t index) const {
    std::vector<MarkerInfo> markers;
    for (const auto& found :
         projectNodes(*doc_).at(index).child("sequence").select_nodes(".//marker"))
        markers.push_back(markerInfo(found.node()));
    return markers;
}

MarkerInfo SimLibrary::addMarker(std::size_t index, Rational at, Rational duration,
                                 std::string_view value, std::string_view note) {
    auto sequence = projectNodes(*doc_).at(index).child("sequence");
    auto spine = sequence.child("spine") ? sequence.child("spine") : sequence.append_child("spine");
    auto clip = coveringItem(spine, at);
    if (!clip) {
        // An empty timeline: a gap as long as the sequence carries the marker.
        clip = spine.append_child("gap");
        clip.append_attribute("name") = "Gap";
        clip.append_attribute("offset") = "0s";
        clip.append_attribute("start") = "0s";
        Rational length = timeAttribute(sequence, "duration");
        clip.append_attribute("duration") =
            (Rational{} < length ? length : Rational::make(3600, 1)).text().c_str();
    }
    Rational local = timeAttribute(clip, "start") + (at - timeAttribute(clip, "offset"));
    auto marker = insertMarker(clip, local);
    marker.append_attribute("start") = local.text().c_str();
    marker.append_attribute("duration") = duration.text().c_str();
    marker.append_attribute("value") = std::string(value).c_str();
    if (!note.empty())
        marker.append_attribute("note") = std::string(note).c_str();
    return markerInfo(marker);
}

std::string SimLibrary::exportProject(std::size_t index) const {
    pugi::xml_document copy;
    copy.reset(*doc_);
    auto keep = projectNodes(copy).at(index);
    auto library = copy.document_element().child("library");
    for (auto event = library.child("event"); event;) {
        auto nextEvent = event.next_sibling("event");
        if (keep.parent() != event) {
            library.remove_child(event);
        } else {
            for (auto project = event.child("project"); project;) {
                auto nextProject = project.next_sibling("project");
                if (project != keep)
                    event.remove_child(project);
                project = nextProject;
            }
        }
        event = nextEvent;
    }
    std::ostringstream text;
    copy.save(text, "  ", pugi::format_default, pugi::encoding_utf8);
    return text.str();
}

bool SimLibrary::importMarkers(std::size_t index, std::string_view document, std::string* error) {
    pugi::xml_document incoming;
    auto result = incoming.load_buffer(document.data(), document.size(), kParseFlags);
    if (!result) {
        *error = std::string("the document does not parse: ") + result.description();
        return false;
    }
    if (std::strcmp(incoming.document_element().name(), "fcpxml") != 0) {
        *error = "the document has no fcpxml root";
        return false;
    }
    if (!treeIsXMLText(incoming)) {
        *error = "the document does not parse: malformed UTF-8 or a character XML cannot carry";
        return false;
    }
    struct Incoming {
        pugi::xml_node node;
        Rational at;
    };
    // Only the document's tagged markers come in: untagged ones belong to the
    // editor's user, and taking them would duplicate them on every round trip.
    std::vector<Incoming> placed;
    for (const auto& found : incoming.select_nodes("//marker"))
        if (isTagged(found.node()))
            placed.push_back({found.node(), toSequenceTime(found.node().parent(),
                                                           timeAttribute(found.node(), "start"))});

    auto sequence = projectNodes(*doc_).at(index).child("sequence");
    std::vector<pugi::xml_node> tagged;
    for (const auto& found : sequence.select_nodes(".//marker"))
        if (isTagged(found.node()))
            tagged.push_back(found.node());
    for (auto& node : tagged)
        node.parent().remove_child(node);

    // A marker before the start of the timeline is placed at its start.
    for (const auto& marker : placed)
        addMarker(index, marker.at < Rational{} ? Rational{} : marker.at,
                  timeAttribute(marker.node, "duration"), marker.node.attribute("value").value(),
                  marker.node.attribute("note").value());
    return true;
}

} // namespace tavrin::sim
