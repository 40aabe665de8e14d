// tavrinctl markers read|write, run as the built program.

#include "TavrinFCP/FCPXMLGenerator.h"
#include "common/Value.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

namespace fs = std::filesystem;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

class MarkersCommands : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "tavrinctl-markers-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string file(const std::string& name, const std::string& text) {
        const fs::path path = dir_ / name;
        std::ofstream(path, std::ios::binary) << text;
        return path.string();
    }

    static std::string slurp(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    // Runs tavrinctl with the arguments (already quoted for the shell), optionally
    // with a file on standard input and standard output sent elsewhere (a shell
    // redirection such as ">/dev/full").
    Outcome run(const std::string& arguments, const std::string& stdinPath = "/dev/null",
                const std::string& stdoutRedirection = "") {
        const fs::path out = dir_ / "stdout";
        const fs::path err = dir_ / "stderr";
        const std::string redirection =
            stdoutRedirection.empty() ? ">'" + out.string() + "'" : stdoutRedirection;
        const std::string command = std::string("'") + TAVRINCTL_PATH + "' " + arguments + " <'" +
                                    stdinPath + "' " + redirection + " 2>'" + err.string() + "'";
        const int raw = std::system(command.c_str());
        Outcome result;
        result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        result.out = slurp(out);
        result.err = slurp(err);
        return result;
    }

    static void expectBadInput(const Outcome& r) {
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        ASSERT_FALSE(r.err.empty());
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err; // exactly one line
    }

    fs::path dir_;
};

const char* kDocument = "<fcpxml><spine><asset-clip offset=\"0s\">"
                        "<marker start=\"48/24s\" duration=\"24/24s\" value=\"Ann &amp; Bo\" "
                        "note=\"[tavrin:c1:resolved] Trim &lt;this&gt;\"/>"
                        "<marker start=\"1s\" value=\"Untagged\" note=\"just a note\"/>"
                        "<MARKER start=\"1s\" value=\"Cy\" note=\"[tavrin:c2] Hold\"></MARKER>"
                        "</asset-clip></spine></fcpxml>";

TEST_F(MarkersCommands, ReadPrintsTheTaggedMarkersAsJSON) {
    const std::string path = file("doc.fcpxml", kDocument);
    for (const Outcome& r : {run("markers read '" + path + "'"), run("markers read", path),
                             run("markers read -", path)}) {
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        const auto value = tavrin::parseJSON(r.out);
        ASSERT_TRUE(value) << r.out;
        EXPECT_EQ(*value, tavrin::Value::parse(R"([
            {"id": "c1", "timestamp": 2.0, "timestampEnd": 3.0, "userName": "Ann & Bo",
             "content": "Trim <this>", "resolved": true},
            {"id": "c2", "timestamp": 1.0, "timestampEnd": null, "userName": "Cy",
             "content": "Hold", "resolved": false}])"));
    }
    const Outcome empty = run("markers read", file("empty.fcpxml", "<fcpxml/>"));
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(tavrin::parseJSON(empty.out), tavrin::Value::array());
}

TEST_F(MarkersCommands, ReadPrintsTheJSONLibrarysPrettyTextByteForByte) {
    std::string document = kDocument;
    for (int i = 0; i < 20000; ++i) // several pieces of output
        document += "<marker start=\"" + std::to_string(i) + "/7s\" duration=\"1/3s\" note=\"" +
                    "[tavrin:m" + std::to_string(i) + "] \\ \x01 &#10; \xC3\xA9\"/>";
    const Outcome r = run("markers read", file("doc.fcpxml", document));
    ASSERT_EQ(r.status, 0) << r.err;
    const auto value = tavrin::parseJSON(r.out);
    ASSERT_TRUE(value && value->size() == 20002u);
    EXPECT_TRUE(r.out == value->dump(2) + "\n"); // not EXPECT_EQ: megabytes of text
}

// Mended: output that cannot be written is a failure, not a success.
TEST_F(MarkersCommands, FailsWhenStandardOutputCannotBeWritten) {
    const std::string doc = file("doc.fcpxml", kDocument);
    const std::string json = file("c.json", R"([{"id": "a"}])");
    // Mended too: the reason given is the write's own, not a stand-in.
    for (const auto& [redirection, error] : {std::pair{">/dev/full", ENOSPC}, {">&-", EBADF}}) {
        for (const std::string& arguments :
             {"markers read '" + doc + "'", "markers write '" + json + "'"}) {
            const Outcome r = run(arguments, "/dev/null", redirection);
            EXPECT_EQ(r.status, 1) << arguments << " " << redirection;
            EXPECT_NE(
                r.err.find(std::string("cannot write standard output: ") + std::strerror(error)),
                std::string::npos)
                << r.err;
            EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err; // exactly one line
        }
    }
}

// Mended: an input larger than the memory the tool may use is refused, not
// an abort. The file is sparse; the sanitizers need more address space.
TEST_F(MarkersCommands, RefusesInputLargerThanItsMemory) {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    const std::string path = file("huge.fcpxml", "");
    fs::resize_file(path, std::uintmax_t{4} << 30);
    const std::string err = (dir_ / "stderr").string();
    const int raw = std::system(("ulimit -v 1000000; '" TAVRINCTL_PATH "' markers read '" + path +
                                 "' >/dev/null 2>'" + err + "'")
                                    .c_str());
    EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 2) << slurp(err);
    EXPECT_NE(slurp(err).find(std::strerror(ENOMEM)), std::string::npos) << slurp(err);
#endif
}

TEST_F(MarkersCommands, WritePrintsTheMarkerDocumentByteForByte) {
    const std::string json = R"([{"id": "b", "timestamp": 2, "userName": "Ann", "content": "x > y"},
                                 {"id": "a", "timestamp": 1, "timestampEnd": 1.5, "resolved": true,
                                  "extra": [1, 2]}])";
    const auto comments = tavrin::asArrayOfDictionaries(*tavrin::parseJSON(json));
    const std::string expected =
        tavrin::container::FCPXMLGenerator::generateMarkersFCPXML(*comments);
    const std::string path = file("comments.json", json);
    for (const Outcome& r : {run("markers write '" + path + "'"), run("markers write", path)}) {
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, expected); // no line feed added after "</fcpxml>"
    }
    EXPECT_NE(expected.find("note=\"[tavrin:b:open] x > y\""), std::string::npos);

    // What read prints, write turns into the same markers (sorted by time: c2, c1).
    const std::string doc = file("doc.fcpxml", kDocument);
    const auto read = tavrin::parseJSON(run("markers read '" + doc + "'").out);
    ASSERT_TRUE(read && read->size() == 2);
    const Outcome written = run("markers write", file("read.json", read->dump()));
    EXPECT_EQ(written.status, 0);
    const auto again =
        tavrin::parseJSON(run("markers read", file("again.fcpxml", written.out)).out);
    EXPECT_EQ(again, tavrin::Value::array({(*read)[1], (*read)[0]}));
}

TEST_F(MarkersCommands, RejectsMalformedInputWithOneLineAndStatusTwo) {
    expectBadInput(run("markers read '" + (dir_ / "missing.fcpxml").string() + "'"));
    expectBadInput(run("markers read '" + dir_.string() + "'")); // a directory
    expectBadInput(run("markers write '" + (dir_ / "missing.json").string() + "'"));
    expectBadInput(run("markers write '" + dir_.string() + "'"));
    for (const char* text : {"", "not json", "{\"id\": \"a\"}", "[1, 2]", "[{\"id\": 1}, 3]",
                             "[{}] trailing", "\"string\""})
        expectBadInput(run("markers write", file("bad.json", text)));
    // A note that is not UTF-8 text cannot be printed as JSON.
    expectBadInput(run("markers read", file("bad.fcpxml", "<marker note=\"[tavrin:a] \xFF\"/>")));
    // Nor an overlong form, a surrogate, a code point past U+10FFFF or a cut sequence
    // after an ASCII run (read a word at a time).
    for (const char* bad : {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82"})
        expectBadInput(
            run("markers read", file("bad.fcpxml", std::string("<marker note=\"[tavrin:a] "
                                                               "a long ASCII run ") +
                                                       bad + "\"/>")));
    // No or an unknown subcommand.
    EXPECT_EQ(run("markers").status, 2);
    EXPECT_EQ(run("markers frobnicate").status, 2);
}

} // namespace
