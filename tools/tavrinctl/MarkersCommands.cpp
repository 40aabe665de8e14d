// tavrinctl markers read|write: the FCPXML marker reader and writer by hand.

#include "TavrinFCP/FCPXMLGenerator.h"
#include "TavrinFCP/FCPXMLParser.h"
#include "common/Errno.h"
#include "common/Value.h"
#include "tools/tavrinctl/Commands.h"
#include "tools/tavrinctl/MarkersJSON.h"
#include "tools/tavrinctl/Output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>
#include <new>
#include <optional>
#include <string>

namespace tavrin::ctl {

namespace {

// The bytes of a file or stream, read with a few large reads into one buffer
// sized from the file's length (no growing copies, no per-line work).
struct Input {
    std::unique_ptr<char[]> data;
    std::size_t size = 0;
    std::string_view text() const { return {data.get(), size}; }
};

std::optional<Input> readAllOrThrow(int fd);

// Everything that fd yields, or nothing (errno set) when a read fails or the
// input does not fit in memory.
std::optional<Input> readAll(int fd) {
    try {
        return readAllOrThrow(fd);
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return std::nullopt;
    }
}

std::optional<Input> readAllOrThrow(int fd) {
    struct stat info {};
    std::size_t capacity = 1 << 20;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0)
        capacity = static_cast<std::size_t>(info.st_size) + 1; // + 1: the end is seen at once
    Input input;
    input.data = std::make_unique_for_overwrite<char[]>(capacity);
    while (true) {
        if (input.size == capacity) {
            // Longer than its length said (or a stream): grow by doubling.
            auto larger = std::make_unique_for_overwrite<char[]>(capacity * 2);
            std::memcpy(larger.get(), input.data.get(), input.size);
            input.data = std::move(larger);
            capacity *= 2;
        }
        const std::size_t want = std::min<std::size_t>(capacity - input.size, 1u << 30);
        const ssize_t got = ::read(fd, input.data.get() + input.size, want);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            return input;
        input.size += static_cast<std::size_t>(got);
    }
}

// The whole of FILE, or of standard input when path is empty or "-".
std::optional<Input> readInput(const std::string& path, std::string& error) {
    if (path.empty() || path == "-") {
        auto input = readAll(STDIN_FILENO);
        if (!input)
            error = std::string("cannot read standard input: ") + errnoText(errno);
        return input;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + path + ": " + errnoText(errno);
        return std::nullopt;
    }
    auto input = readAll(fd);
    const int readError = errno;
    ::close(fd);
    if (!input)
        error = "cannot read " + path + ": " + errnoText(readError ? readError : EIO);
    return input;
}

int fail(const std::string& message) {
    std::cerr << "tavrinctl markers: " << message << "\n";
    return kExitBadInput;
}

// A document or list too large for memory is a failure with one line on
// standard error, not an abort.
int withinMemory(int (*command)(const std::string&), const std::string& path) {
    try {
        return command(path);
    } catch (const std::bad_alloc&) {
        std::cerr << "tavrinctl markers: not enough memory for the input\n";
        return kExitFailure;
    }
}

int readMarkers(const std::string& path) {
    std::string error;
    const auto input = readInput(path, error);
    if (!input)
        return fail(error);
    const auto markers = container::FCPXMLParser::parseMarkers(input->text());
    // Checked before anything is printed: JSON cannot carry text that is not UTF-8.
    if (!markersAreJSON(markers.records()))
        return fail("the document's marker text is not valid UTF-8");
    if (!writeMarkersJSON(markers.records(), writeOutput))
        return kExitFailure; // writeOutput has said why
    return kExitOK;
}

int writeMarkers(const std::string& path) {
    std::string error;
    const auto text = readInput(path, error);
    if (!text)
        return fail(error);
    const auto value = parseJSON(text->text());
    if (!value)
        return fail("input is not JSON");
    const auto comments = asArrayOfDictionaries(*value);
    if (!comments)
        return fail("input is not a JSON array of objects");
    if (!writeOutput(container::FCPXMLGenerator::generateMarkersFCPXML(*comments)))
        return kExitFailure;
    return kExitOK;
}

} // namespace

void registerMarkersCommands(CLI::App& app, int& exitCode) {
    auto* markers = app.add_subcommand("markers", "Read or write FCPXML marker documents");
    markers->require_subcommand(1);

    auto readPath = std::make_shared<std::string>();
    auto* read = markers->add_subcommand(
        "read", "FCPXML document (FILE or standard input) to a JSON array of marker records, "
                "pretty-printed with two-space indents");
    read->add_option("FILE", *readPath, "FCPXML document; standard input when absent or \"-\"");
    read->callback([readPath, &exitCode] { exitCode = withinMemory(readMarkers, *readPath); });

    auto writePath = std::make_shared<std::string>();
    auto* write = markers->add_subcommand(
        "write", "JSON array of comment records (FILE or standard input) to the marker "
                 "document on standard output, byte for byte");
    write->add_option("FILE", *writePath, "JSON array; standard input when absent or \"-\"");
    write->callback([writePath, &exitCode] { exitCode = withinMemory(writeMarkers, *writePath); });
}

} // namespace tavrin::ctl
