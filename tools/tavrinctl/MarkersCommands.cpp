// tavrinctl markers read|write: the FCPXML marker reader and writer by hand.

#include "TavrinFCP/FCPXMLGenerator.h"
#include "TavrinFCP/FCPXMLParser.h"
#include "common/Value.h"
#include "tools/tavrinctl/Commands.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

namespace tavrin::ctl {

namespace {

// Every byte of a stream, or nothing when a read fails.
std::optional<std::string> readAll(std::FILE* stream) {
    std::string text;
    char buffer[1 << 16];
    while (true) {
        const std::size_t got = std::fread(buffer, 1, sizeof buffer, stream);
        text.append(buffer, got);
        if (got < sizeof buffer)
            break;
    }
    if (std::ferror(stream))
        return std::nullopt;
    return text;
}

// The whole of FILE, or of standard input when path is empty or "-".
std::optional<std::string> readInput(const std::string& path, std::string& error) {
    if (path.empty() || path == "-") {
        auto text = readAll(stdin);
        if (!text)
            error = "cannot read standard input";
        return text;
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                         &std::fclose);
    if (!file) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    errno = 0;
    auto text = readAll(file.get());
    if (!text)
        error = "cannot read " + path + ": " + std::strerror(errno ? errno : EIO);
    return text;
}

int fail(const std::string& message) {
    std::cerr << "tavrinctl markers: " << message << "\n";
    return kExitBadInput;
}

int readMarkers(const std::string& path) {
    std::string error;
    const auto text = readInput(path, error);
    if (!text)
        return fail(error);
    Value records = Value::array();
    for (auto& record : container::FCPXMLParser::parseMarkers(*text))
        records.push_back(std::move(record));
    // writeJSON checks what JSON cannot carry (text that is not UTF-8).
    if (!writeJSON(records))
        return fail("the document's marker text is not valid UTF-8");
    std::cout << records.dump(2) << "\n";
    return kExitOK;
}

int writeMarkers(const std::string& path) {
    std::string error;
    const auto text = readInput(path, error);
    if (!text)
        return fail(error);
    const auto value = parseJSON(*text);
    if (!value)
        return fail("input is not JSON");
    const auto comments = asArrayOfDictionaries(*value);
    if (!comments)
        return fail("input is not a JSON array of objects");
    std::cout << container::FCPXMLGenerator::generateMarkersFCPXML(*comments);
    std::cout.flush();
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
    read->callback([readPath, &exitCode] { exitCode = readMarkers(*readPath); });

    auto writePath = std::make_shared<std::string>();
    auto* write = markers->add_subcommand(
        "write", "JSON array of comment records (FILE or standard input) to the marker "
                 "document on standard output, byte for byte");
    write->add_option("FILE", *writePath, "JSON array; standard input when absent or \"-\"");
    write->callback([writePath, &exitCode] { exitCode = writeMarkers(*writePath); });
}

} // namespace tavrin::ctl
