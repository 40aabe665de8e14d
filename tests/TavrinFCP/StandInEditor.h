#pragma once
// A stand-in for the editor and its script runner: a /bin/sh runner in a
// temporary folder that plays the three scripts over timeline.fcpxml
// (export copies it out, import copies the given document in) and logs each
// call as "<script> <arguments>" in calls.log.

#include "TavrinFCP/AppleScriptBridge.h"
#include "TavrinFCP/FCPXMLParser.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace tavrin::container::testing {

namespace fs = std::filesystem;

class StandInEditor {
  public:
    StandInEditor() {
        std::string pattern = (fs::temp_directory_path() / "stand-in-editor-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        dir = pattern;
        tmp = dir / "tmp";
        fs::create_directory(tmp);
        setTimeline({});
        playEditor();
    }
    ~StandInEditor() { fs::remove_all(dir); }

    // The runner plays the editor; `importReply` is what "import-fcpxml" prints.
    // `before` runs first, e.g. to misbehave on some calls.
    void playEditor(const std::string& importReply = R"({"success": true})",
                    const std::string& before = "") {
        writeRunner(before +
                    "case \"$name\" in\n"
                    "export-fcpxml) cp \"$dir/timeline.fcpxml\" \"$1\"; stat -c %a \"$1\" >> "
                    "\"$dir/modes\"; printf '{\"path\": \"%s\"}\\n' \"$1\" ;;\n"
                    "import-fcpxml) stat -c %a \"$1\" >> \"$dir/modes\"; cp \"$1\" "
                    "\"$dir/timeline.fcpxml\"; printf '%s\\n' '" +
                    importReply + "' ;;\nesac");
    }

    // A runner with this body after `dir`, `name` (script name without
    // extension), `script` (its path, shifted off the arguments) and the call log are set up.
    void writeRunner(const std::string& body) {
        fs::path path = dir / "runner.sh";
        std::ofstream(path) << "#!/bin/sh\ndir='" << dir.string()
                            << "'\nscript=\"$1\"; name=$(basename \"$1\" .applescript); shift\n"
                               "echo \"$name $*\" >> \"$dir/calls.log\"\n"
                            << body << "\n";
        fs::permissions(path, fs::perms::owner_all);
    }

    // A timeline holding these marker elements inside a clip, as an export
    // from the editor would.
    void setTimeline(const std::vector<std::string>& markers) {
        std::ofstream out(dir / "timeline.fcpxml");
        out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE fcpxml>\n"
               "<fcpxml version=\"1.11\">\n  <library>\n    <event name=\"Day 1\">\n"
               "      <project name=\"Cut\">\n        <sequence format=\"r1\">\n"
               "          <spine>\n            <asset-clip name=\"A\" offset=\"0s\" "
               "duration=\"3600s\">\n";
        for (const auto& marker : markers)
            out << "              " << marker << "\n";
        out << "            </asset-clip>\n          </spine>\n        </sequence>\n"
               "      </project>\n    </event>\n  </library>\n</fcpxml>\n";
    }

    static std::string marker(const std::string& id, const std::string& start,
                              const std::string& content = "note") {
        return "<marker start=\"" + start +
               "\" duration=\"1/24s\" value=\"Ann\" note=\"[tavrin:" + id + ":open] " + content +
               "\"/>";
    }

    std::string timelineText() const { return read(dir / "timeline.fcpxml"); }
    std::vector<Dictionary> timelineMarkers() const {
        return toDictionaries(FCPXMLParser::parseMarkers(timelineText()).records());
    }
    std::vector<std::string> timelineIds() const {
        std::vector<std::string> ids;
        for (const auto& marker : timelineMarkers())
            ids.push_back(marker["id"].get<std::string>());
        return ids;
    }
    std::vector<std::string> calls() const { return lines(dir / "calls.log"); }
    std::vector<std::string> modes() const { return lines(dir / "modes"); }
    std::vector<std::string> leftInTmp() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(tmp))
            names.push_back(entry.path().filename().string());
        return names;
    }

    AppleScriptBridge::Options options() const {
        AppleScriptBridge::Options options;
        options.runnerPath = (dir / "runner.sh").string();
        options.scriptsDirectory = (dir / "scripts").string();
        options.temporaryDirectory = tmp.string();
        options.scriptTimeout = std::chrono::seconds(60);
        return options;
    }

    static std::string read(const fs::path& path) {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static std::vector<std::string> lines(const fs::path& path) {
        std::vector<std::string> result;
        std::istringstream in(read(path));
        for (std::string line; std::getline(in, line);)
            result.push_back(line);
        return result;
    }

    fs::path dir;
    fs::path tmp;
};

} // namespace tavrin::container::testing
