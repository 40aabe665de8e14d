#include "TavrinFCP/AppleScriptBridge.h"

#include "TavrinFCP/FCPXMLGenerator.h"
#include "TavrinFCP/FCPXMLParser.h"
#include "common/UUID.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#ifndef TAVRIN_SCRIPT_RUNNER
#define TAVRIN_SCRIPT_RUNNER "/usr/bin/osascript"
#endif
#ifndef TAVRIN_SCRIPTS_DIR
#define TAVRIN_SCRIPTS_DIR "scripts"
#endif

namespace tavrin::container {
namespace {

std::string errnoText(int error) {
    return std::error_code(error, std::generic_category()).message();
}

// Decodes one UTF-8 sequence at text[i]; returns its length, or 0 when it is
// malformed (overlong, surrogate, beyond U+10FFFF, truncated).
std::size_t decodeUTF8(std::string_view text, std::size_t i, char32_t& codePoint) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i);
    std::size_t length;
    char32_t minimum;
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, minimum = 0x80, codePoint = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, minimum = 0x800, codePoint = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, minimum = 0x10000, codePoint = lead & 0x07;
    } else {
        return 0;
    }
    if (text.size() - i < length)
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        codePoint = (codePoint << 6) | (byte(i + k) & 0x3F);
    }
    if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
        return 0;
    return length;
}

bool isValidUTF8(std::string_view text) {
    char32_t codePoint;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t length = decodeUTF8(text, i, codePoint);
        if (length == 0)
            return false;
        i += length;
    }
    return true;
}

// Unicode white space (category Zs and tab) and line ends (LF, VT, FF, CR,
// NEL, LINE SEPARATOR, PARAGRAPH SEPARATOR).
bool isWhiteSpaceOrNewline(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

std::optional<Value> parseObject(std::string_view text) {
    auto value = parseJSON(text);
    if (!value || !value->is_object())
        return std::nullopt;
    return value;
}

// A file this program created exclusively (mode 0600), named prefix + random
// UUID + ".fcpxml"; removed again when the call that made it ends.
class TemporaryFile {
  public:
    TemporaryFile(const std::string& directory, std::string_view prefix) {
        for (int attempt = 1;; ++attempt) {
            std::string name =
                directory + std::string(prefix) + UUID::random().uuidString() + ".fcpxml";
            int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                            S_IRUSR | S_IWUSR);
            if (fd >= 0) {
                fd_ = fd;
                path_ = std::move(name);
                return;
            }
            if (errno != EEXIST || attempt == 8)
                throw AutomationError("cannot create a temporary file in " + directory + ": " +
                                      errnoText(errno));
        }
    }
    ~TemporaryFile() {
        closeDescriptor();
        ::unlink(path_.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    const std::string& path() const { return path_; }

    // Writes the whole text and closes the file; throws AutomationError.
    void write(std::string_view text) {
        while (!text.empty()) {
            ssize_t n = ::write(fd_, text.data(), text.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                throw AutomationError("cannot write " + path_ + ": " + errnoText(errno));
            text.remove_prefix(static_cast<std::size_t>(n));
        }
        int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0)
            throw AutomationError("cannot write " + path_ + ": " + errnoText(errno));
    }
    void closeDescriptor() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

  private:
    std::string path_;
    int fd_ = -1;
};

// The whole of a regular file, or no value. O_NONBLOCK and the regular-file
// check keep a FIFO or device named by a script from hanging the call.
std::optional<std::string> readRegularFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct stat info;
    std::optional<std::string> text;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        std::string content;
        char buffer[65536];
        for (;;) {
            ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0) {
                content.append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0) {
                text = std::move(content);
                break;
            } else if (errno != EINTR) {
                break;
            }
        }
    }
    ::close(fd);
    return text;
}

} // namespace

std::string trimmedScriptOutput(std::string_view bytes) {
    if (!isValidUTF8(bytes))
        return {};
    char32_t codePoint;
    std::size_t begin = 0;
    while (begin < bytes.size()) {
        std::size_t length = decodeUTF8(bytes, begin, codePoint);
        if (!isWhiteSpaceOrNewline(codePoint))
            break;
        begin += length;
    }
    std::size_t end = bytes.size();
    while (end > begin) {
        std::size_t start = end - 1;
        while (start > begin && (static_cast<unsigned char>(bytes[start]) & 0xC0) == 0x80)
            --start;
        decodeUTF8(bytes, start, codePoint);
        if (!isWhiteSpaceOrNewline(codePoint))
            break;
        end = start;
    }
    return std::string(bytes.substr(begin, end - begin));
}

AppleScriptBridge::AppleScriptBridge() : AppleScriptBridge(Options{}) {
}

AppleScriptBridge::AppleScriptBridge(Options options) : options_(std::move(options)) {
    if (!options_.processRunner)
        options_.processRunner = makePlatformProcessRunner();
}

std::string AppleScriptBridge::defaultRunnerPath() {
    const char* fromEnvironment = std::getenv("TAVRIN_SCRIPT_RUNNER");
    return fromEnvironment && *fromEnvironment ? fromEnvironment : TAVRIN_SCRIPT_RUNNER;
}

std::string AppleScriptBridge::defaultScriptsDirectory() {
    const char* fromEnvironment = std::getenv("TAVRIN_SCRIPTS_DIR");
    return fromEnvironment && *fromEnvironment ? fromEnvironment : TAVRIN_SCRIPTS_DIR;
}

std::string AppleScriptBridge::scriptPath(std::string_view name) const {
    std::string path = options_.scriptsDirectory;
    if (!path.empty() && path.back() != '/')
        path += '/';
    path += name;
    path += ".applescript";
    return path;
}

std::string AppleScriptBridge::temporaryDirectory() const {
    std::string directory = options_.temporaryDirectory;
    if (directory.empty()) {
        const char* fromEnvironment = std::getenv("TMPDIR");
        directory = fromEnvironment && *fromEnvironment ? fromEnvironment : "/tmp";
    }
    if (directory.back() != '/')
        directory += '/';
    return directory;
}

std::string AppleScriptBridge::run(std::string_view name,
                                   const std::vector<std::string>& args) const {
    std::vector<std::string> arguments;
    arguments.reserve(args.size() + 1);
    arguments.push_back(scriptPath(name));
    arguments.insert(arguments.end(), args.begin(), args.end());
    try {
        ProcessOutput output =
            options_.processRunner->run(options_.runnerPath, arguments, options_.scriptTimeout);
        return trimmedScriptOutput(output.standardOutput);
    } catch (const ProcessError& error) {
        throw AutomationError(std::string(name) + ": " + error.what());
    }
}

std::optional<std::string> AppleScriptBridge::exportTimelineFCPXML() const {
    TemporaryFile target(temporaryDirectory(), "tavrin-fcpxml-");
    target.closeDescriptor();
    auto reply = parseObject(run("export-fcpxml", {target.path()}));
    if (!reply)
        return std::nullopt;
    auto path = stringFor(*reply, "path");
    if (!path)
        return std::nullopt;
    auto text = readRegularFile(*path);
    // An empty file, an error page or a cut-off export is no timeline: read as
    // one without markers, it would have every marker removed.
    if (!text || !isValidUTF8(*text) || !FCPXMLParser::isFCPXMLDocument(*text))
        return std::nullopt;
    return text;
}

bool AppleScriptBridge::importFCPXML(std::string_view document) const {
    // Created exclusively and written in full before any script learns its
    // name, so the importer never sees a partial document.
    TemporaryFile file(temporaryDirectory(), "tavrin-markers-");
    file.write(document);
    run("save-project");
    auto reply = parseObject(run("import-fcpxml", {file.path()}));
    if (!reply)
        return false;
    const Value* success = lookup(*reply, "success");
    return success && success->is_boolean() && success->get<bool>();
}

bool AppleScriptBridge::importMarkers(std::span<const MarkerRecord> markers) const {
    return importFCPXML(FCPXMLGenerator::generateMarkersFCPXML(markers));
}

bool AppleScriptBridge::syncComment(const Dictionary& comment) {
    std::lock_guard lock(changeMutex_);
    auto exported = exportTimelineFCPXML();
    if (!exported)
        return false;
    const std::string id = stringFor(comment, "id").value_or("");
    MarkerList markers = FCPXMLParser::parseMarkers(*exported);
    markers.keepIf([&](const MarkerRecord& marker) { return marker.id != id; });
    markers.push_back(commentRecord(comment));
    return importMarkers(markers.records());
}

bool AppleScriptBridge::deleteComment(std::string_view id) {
    std::lock_guard lock(changeMutex_);
    auto exported = exportTimelineFCPXML();
    if (!exported)
        return false;
    MarkerList markers = FCPXMLParser::parseMarkers(*exported);
    markers.keepIf([&](const MarkerRecord& marker) { return marker.id != id; });
    return importMarkers(markers.records());
}

bool AppleScriptBridge::syncAllComments(const std::vector<Dictionary>& comments) {
    std::lock_guard lock(changeMutex_);
    return importFCPXML(FCPXMLGenerator::generateMarkersFCPXML(comments));
}

bool AppleScriptBridge::clearAllMarkers() {
    std::lock_guard lock(changeMutex_);
    return importMarkers({});
}

std::optional<Dictionary> AppleScriptBridge::getMarkerAtTime(double seconds,
                                                             double threshold) const {
    auto exported = exportTimelineFCPXML();
    if (!exported)
        return std::nullopt;
    const MarkerList markers = FCPXMLParser::parseMarkers(*exported);
    const MarkerRecord* best = nullptr;
    double bestDistance = threshold + 1;
    for (const MarkerRecord& marker : markers) {
        double distance = std::fabs(marker.timestamp - seconds);
        if (distance <= threshold && distance < bestDistance) {
            best = &marker;
            bestDistance = distance;
        }
    }
    if (!best)
        return std::nullopt;
    return toDictionary(*best);
}

} // namespace tavrin::container
