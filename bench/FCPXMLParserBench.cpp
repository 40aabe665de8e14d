// Reading markers out of a long project's FCPXML, against its baselines:
//   IcuPerCall    ICU running the two plain expressions, the attribute one built per call
//   IcuCompiled   the same with both expressions compiled once
//   PugixmlDom    a full DOM parse that reads the same four attributes of every marker
//   Reader        FCPXMLParser::parseMarkers (also on ICU's slice of the timeline, and
//                 on the calling thread alone)
//   Memchr        one memchr pass over the buffer: the memory's own speed
// each with what it returns freed outside (/0) and inside (/1, "+free") the timing;
// as whole processes on the same timeline in a file, `tavrinctl markers read`
// against a plain ICU program printing the same JSON (wall and CPU time, peak
// memory, whether the outputs are identical); and writing the marker document
// for 10^4 and 10^5 records, against appending the same number of fixed lines.
// Prints the ratios at the end.

#include "TavrinFCP/FCPXMLGenerator.h"
#include "TavrinFCP/FCPXMLParser.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <pugixml.hpp>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unicode/regex.h>
#include <unicode/unistr.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

using tavrin::Dictionary;
using tavrin::Value;
using tavrin::container::FCPXMLGenerator;
using tavrin::container::FCPXMLParser;

namespace {

constexpr std::size_t kDocumentBytes = 100u << 20;
constexpr std::size_t kIcuSliceBytes = 6u << 20;

// A long project: nested clips with titles, effects, keywords, audio, and markers
// (about half of them tagged) spread through it: about 400,000 markers in 100 MB.
std::string makeTimeline(std::size_t targetBytes) {
    std::mt19937 random(42);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    std::string out;
    out.reserve(targetBytes + (1 << 16));
    out +=
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE fcpxml>\n\n"
        "<fcpxml version=\"1.11\">\n    <resources>\n"
        "        <format id=\"r1\" name=\"FFVideoFormat1080p2997\" frameDuration=\"1001/30000s\" "
        "width=\"1920\" height=\"1080\" colorSpace=\"1-1-1 (Rec. 709)\"/>\n";
    for (int a = 0; a < 400; ++a)
        out +=
            "        <asset id=\"a" + std::to_string(a) + "\" name=\"Clip " + std::to_string(a) +
            "\" start=\"0s\" duration=\"3600s\" hasVideo=\"1\" format=\"r1\" hasAudio=\"1\">\n"
            "            <media-rep kind=\"original-media\" src=\"file:///Volumes/Media/Clip%20" +
            std::to_string(a) + ".mov\"/>\n        </asset>\n";
    out += "    </resources>\n    <library>\n        <event name=\"Long Project\">\n"
           "            <project name=\"Feature v12\">\n"
           "                <sequence format=\"r1\" duration=\"720000/30000s\" tcStart=\"0s\" "
           "tcFormat=\"NDF\">\n                    <spine>\n";
    const char* words[] = {"tighten",
                           "the",
                           "cut",
                           "here",
                           "colour",
                           "is",
                           "off",
                           "music",
                           "&amp;",
                           "dialogue",
                           "&quot;again&quot;",
                           "pace",
                           "too",
                           "long"};
    long offset = 0;
    int comment = 0;
    auto markerLine = [&](const std::string& indent, long start) {
        std::string note;
        const bool tagged = pick(2) == 0;
        if (tagged)
            note = "[tavrin:cmt-" + std::to_string(comment++) +
                   (pick(3) == 0 ? ":resolved] " : ":open] ");
        const int count = 3 + pick(12);
        for (int w = 0; w < count; ++w)
            note += std::string(w ? " " : "") + words[pick(14)];
        return indent + "<marker start=\"" + std::to_string(start) + "/30000s\" duration=\"" +
               (pick(2) ? "1001/30000s" : std::to_string(1001 * (1 + pick(90))) + "/30000s") +
               "\" value=\"" + (tagged ? "Reviewer " + std::to_string(pick(9)) : "Marker") +
               "\" note=\"" + note + "\"/>\n";
    };
    while (out.size() < targetBytes) {
        const long duration = 1001L * (30 + pick(300));
        const std::string ref = "a" + std::to_string(pick(400));
        out += "                        <asset-clip ref=\"" + ref + "\" offset=\"" +
               std::to_string(offset) + "/30000s\" name=\"Clip\" start=\"" +
               std::to_string(1001L * pick(1000)) + "/30000s\" duration=\"" +
               std::to_string(duration) +
               "/30000s\" format=\"r1\" tcFormat=\"NDF\" "
               "audioRole=\"dialogue\">\n";
        out += "                            <adjust-transform position=\"0 0\" scale=\"1 1\"/>\n"
               "                            <filter-video ref=\"r1\" name=\"Colour Board\">\n"
               "                                <param name=\"Amount\" key=\"1\" value=\"0.5\"/>\n"
               "                            </filter-video>\n";
        if (pick(2) == 0)
            out += "                            <keyword start=\"0s\" duration=\"" +
                   std::to_string(duration) + "/30000s\" value=\"interview, wide\"/>\n";
        for (int m = pick(25); m > 0; --m)
            out += markerLine("                            ", offset + 1001L * pick(30));
        if (pick(3) == 0) {
            out += "                            <asset-clip ref=\"" + ref +
                   "\" lane=\"1\" offset=\"" + std::to_string(offset) +
                   "/30000s\" name=\"B-Roll\" duration=\"60060/30000s\" format=\"r1\">\n";
            for (int m = pick(2); m > 0; --m)
                out += markerLine("                                ", offset + 1001L * pick(30));
            out += "                                <audio-channel-source srcCh=\"1, 2\" "
                   "role=\"effects\"/>\n                            </asset-clip>\n";
        }
        if (pick(8) == 0)
            out += "                            <chapter-marker start=\"" + std::to_string(offset) +
                   "/30000s\" duration=\"1001/30000s\" value=\"Chapter\" posterOffset=\"0s\"/>\n";
        out += "                        </asset-clip>\n";
        offset += duration;
    }
    out += "                    </spine>\n                </sequence>\n            </project>\n"
           "        </event>\n    </library>\n</fcpxml>\n";
    return out;
}

const std::string& timeline() {
    static const std::string document = makeTimeline(kDocumentBytes);
    return document;
}

// The first kIcuSliceBytes of the timeline, cut after a whole line.
const std::string& icuSlice() {
    static const std::string slice = [] {
        const std::string& t = timeline();
        return t.substr(0, t.find('\n', kIcuSliceBytes) + 1);
    }();
    return slice;
}

std::string toUTF8(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

void replaceAll(std::string& text, const char* from, const char* to) {
    const std::size_t fromLength = std::strlen(from), toLength = std::strlen(to);
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += toLength)
        text.replace(at, fromLength, to);
}

std::string decoded(std::string value) {
    replaceAll(value, "&lt;", "<");
    replaceAll(value, "&gt;", ">");
    replaceAll(value, "&quot;", "\"");
    replaceAll(value, "&apos;", "'");
    replaceAll(value, "&amp;", "&");
    return value;
}

std::unique_ptr<icu::RegexPattern> compile(const std::string& pattern, uint32_t flags) {
    UErrorCode status = U_ZERO_ERROR;
    return std::unique_ptr<icu::RegexPattern>(
        icu::RegexPattern::compile(icu::UnicodeString::fromUTF8(pattern), flags, status));
}

std::string icuAttr(const icu::RegexPattern& pattern, const icu::UnicodeString& attributes) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(pattern.matcher(attributes, status));
    if (!matcher->find(status))
        return {};
    return decoded(toUTF8(matcher->group(1, status)));
}

// The plain reader on ICU: records built as the reader builds them. With
// attributePatterns empty, the attribute expression is compiled for each call.
std::vector<Dictionary> icuParse(const std::string& document,
                                 const icu::RegexPattern* markerPattern,
                                 const std::vector<std::unique_ptr<icu::RegexPattern>>* attrs) {
    std::unique_ptr<icu::RegexPattern> ownMarker;
    if (!markerPattern) {
        ownMarker = compile("<marker\\s+([^>]*?)\\/?>", UREGEX_CASE_INSENSITIVE);
        markerPattern = ownMarker.get();
    }
    static const char* names[] = {"start", "duration", "value", "note"};
    UErrorCode status = U_ZERO_ERROR;
    const icu::UnicodeString text = icu::UnicodeString::fromUTF8(document);
    std::unique_ptr<icu::RegexMatcher> matcher(markerPattern->matcher(text, status));
    std::vector<Dictionary> records;
    while (matcher->find(status)) {
        const icu::UnicodeString attributes = matcher->group(1, status);
        std::string values[4];
        for (int k = 0; k < 4; ++k) {
            if (attrs) {
                values[k] = icuAttr(*(*attrs)[k], attributes);
            } else {
                const auto pattern = compile(std::string(names[k]) + "=\"([^\"]*)\"", 0);
                values[k] = icuAttr(*pattern, attributes);
            }
        }
        const std::string& note = values[3];
        if (note.rfind("[tavrin:", 0) != 0)
            continue;
        const std::size_t close = note.find(']');
        if (close == std::string::npos)
            continue;
        std::vector<std::string> pieces;
        std::string piece;
        for (char c : note.substr(1, close - 1) + ":") {
            if (c != ':') {
                piece.push_back(c);
            } else if (!piece.empty()) {
                pieces.push_back(piece);
                piece.clear();
            }
        }
        if (pieces.size() < 2)
            continue;
        const double timestamp = FCPXMLParser::rationalToSeconds(values[0]);
        const double duration = FCPXMLParser::rationalToSeconds(values[1]);
        Dictionary record;
        record["id"] = pieces[1];
        record["timestamp"] = timestamp;
        record["timestampEnd"] = duration > 0.01 ? Value(timestamp + duration) : Value(nullptr);
        record["userName"] = values[2];
        record["content"] = close + 2 < note.size() ? note.substr(close + 2) : std::string();
        record["resolved"] = pieces.size() >= 3 && pieces[2] == "resolved";
        records.push_back(std::move(record));
    }
    return records;
}

// Bytes per second of each reading benchmark, for the ratios printed at the
// end: of wall time, since the reader reads a long document on several
// threads; and of the process's CPU time (every thread's), which tells what
// a read costs the machine.
std::map<std::string, double> gBytesPerSecond;
std::map<std::string, double> gBytesPerCpuSecond;

double clockSeconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Runs body on the input once per iteration. What body returns (the records,
// or the DOM) is freed after it, for every contender alike: outside the timed
// region when the benchmark's argument is 0 (reading alone is timed), inside it
// when the argument is 1 (reading and the caller's disposal of what it read;
// the name then ends in "+free").
template <typename Body>
void measure(benchmark::State& state, const char* name, const std::string& input, Body&& body) {
    const bool timeFrees = state.range(0) != 0;
    // One untimed run first, for every contender alike: the timed runs then find
    // the caches, ICU's data and the allocator's memory warm, as a long-running
    // caller does (a first run's page faults would otherwise dominate the few
    // timed iterations of the fastest contenders).
    {
        auto warm = body(input);
        benchmark::DoNotOptimize(warm);
    }
    double seconds = 0, cpuSeconds = 0;
    std::size_t bytes = 0;
    for (auto _ : state) {
        const double start = clockSeconds(CLOCK_MONOTONIC);
        const double cpuStart = clockSeconds(CLOCK_PROCESS_CPUTIME_ID);
        auto result = body(input);
        if (!timeFrees) {
            seconds += clockSeconds(CLOCK_MONOTONIC) - start;
            cpuSeconds += clockSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpuStart;
            state.PauseTiming();
        }
        benchmark::DoNotOptimize(result);
        // Moved into a temporary so that everything, its buffer too, is freed here.
        (void)std::decay_t<decltype(result)>(std::move(result));
        if (timeFrees) {
            seconds += clockSeconds(CLOCK_MONOTONIC) - start;
            cpuSeconds += clockSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpuStart;
        } else {
            state.ResumeTiming();
        }
        bytes += input.size();
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    const std::string key = std::string(name) + (timeFrees ? "+free" : "");
    gBytesPerSecond[key] = static_cast<double>(bytes) / seconds;
    gBytesPerCpuSecond[key] = static_cast<double>(bytes) / cpuSeconds;
}

// Loads ICU's data and warms its caches, so that the first timed run is not a cold one.
void warmUpIcu() {
    static const bool done = [] {
        benchmark::DoNotOptimize(icuParse(icuSlice().substr(0, 1 << 16), nullptr, nullptr));
        return true;
    }();
    (void)done;
}

void BM_Read_IcuPerCall(benchmark::State& state) {
    warmUpIcu();
    const std::string& slice = icuSlice();
    std::size_t found = 0;
    measure(state, "IcuPerCall", slice, [&](const std::string& in) {
        auto records = icuParse(in, nullptr, nullptr);
        found = records.size();
        return records;
    });
    state.counters["markers"] = static_cast<double>(found);
}

void BM_Read_IcuCompiled(benchmark::State& state) {
    warmUpIcu();
    const auto marker = compile("<marker\\s+([^>]*?)\\/?>", UREGEX_CASE_INSENSITIVE);
    std::vector<std::unique_ptr<icu::RegexPattern>> attrs;
    for (const char* name : {"start", "duration", "value", "note"})
        attrs.push_back(compile(std::string(name) + "=\"([^\"]*)\"", 0));
    std::size_t found = 0;
    measure(state, "IcuCompiled", icuSlice(), [&](const std::string& in) {
        auto records = icuParse(in, marker.get(), &attrs);
        found = records.size();
        return records;
    });
    state.counters["markers"] = static_cast<double>(found);
}

void BM_Read_PugixmlDom(benchmark::State& state) {
    std::size_t found = 0;
    measure(state, "PugixmlDom", timeline(), [&](const std::string& in) {
        auto doc = std::make_unique<pugi::xml_document>();
        doc->load_buffer(in.data(), in.size());
        std::size_t total = 0;
        found = 0;
        // Every element in document order, iteratively.
        pugi::xml_node node = doc->first_child();
        while (node) {
            if (std::strcmp(node.name(), "marker") == 0) {
                for (const char* name : {"start", "duration", "value", "note"})
                    total += std::strlen(node.attribute(name).value());
                ++found;
            }
            if (node.first_child()) {
                node = node.first_child();
                continue;
            }
            while (node && !node.next_sibling())
                node = node.parent();
            if (node)
                node = node.next_sibling();
        }
        benchmark::DoNotOptimize(total);
        return doc;
    });
    state.counters["markers"] = static_cast<double>(found);
}

void BM_Read_Reader(benchmark::State& state) {
    std::size_t found = 0;
    measure(state, "Reader", timeline(), [&](const std::string& in) {
        auto records = FCPXMLParser::parseMarkers(in);
        found = records.size();
        return records;
    });
    state.counters["markers"] = static_cast<double>(found);
}

// The reader on the calling thread alone: what one core does.
void BM_Read_ReaderOneThread(benchmark::State& state) {
    std::size_t found = 0;
    measure(state, "ReaderOneThread", timeline(), [&](const std::string& in) {
        auto records = FCPXMLParser::parseMarkers(in, 1);
        found = records.size();
        return records;
    });
    state.counters["markers"] = static_cast<double>(found);
}

// The reader on ICU's slice of the timeline: the same input as the ICU contenders,
// so that the results they free are as large as the reader's.
void BM_Read_ReaderOnIcuSlice(benchmark::State& state) {
    std::size_t found = 0;
    measure(state, "ReaderOnIcuSlice", icuSlice(), [&](const std::string& in) {
        auto records = FCPXMLParser::parseMarkers(in);
        found = records.size();
        return records;
    });
    state.counters["markers"] = static_cast<double>(found);
}

void BM_Read_Memchr(benchmark::State& state) {
    measure(state, "Memchr", timeline(),
            [](const std::string& in) { return std::memchr(in.data(), '\x01', in.size()); });
}

// --- Whole processes ----------------------------------------------------------

// The timeline as a file, written once.
const std::string& timelineFile() {
    static const std::string path = [] {
        std::string pattern = "/tmp/tavrin-timeline-XXXXXX";
        const int fd = ::mkstemp(pattern.data());
        if (fd < 0)
            std::abort();
        const std::string& text = timeline();
        for (std::size_t done = 0; done < text.size();) {
            const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
            if (n <= 0)
                std::abort();
            done += static_cast<std::size_t>(n);
        }
        ::close(fd);
        return pattern;
    }();
    return path;
}

struct ProcessRun {
    double wallSeconds = 0;
    double cpuSeconds = 0;
    long peakKiB = 0;
    std::size_t outputBytes = 0;
    std::uint64_t outputHash = 1469598103934665603ull; // FNV-1a
    bool exitedZero = false;
};

// Runs program FILE (tavrinctl: "markers read FILE") with its standard output
// drained through a pipe, as a shell pipeline would, under run_measured, which
// reports the program's own peak resident memory and CPU time.
ProcessRun runProcess(const char* program, const std::string& file) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        std::abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    const std::string resultFile = file + ".usage";
    std::vector<std::string> args = {RUN_MEASURED_PATH, resultFile, program};
    if (std::strcmp(program, TAVRINCTL_PATH) == 0) {
        args.emplace_back("markers");
        args.emplace_back("read");
    }
    args.push_back(file);
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    ProcessRun run;
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, RUN_MEASURED_PATH, &actions, nullptr, argv.data(), environ) != 0)
        std::abort();
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    // A large pipe, so that the child is not stopped every 64 KiB.
    (void)::fcntl(pipeFds[0], F_SETPIPE_SZ, 1 << 20);
    // FNV-1a over eight bytes at a time, the same however the reads split the text.
    std::vector<char> buffer((1 << 20) + 8);
    std::size_t pending = 0;
    auto mix = [&run](std::uint64_t word) {
        run.outputHash = (run.outputHash ^ word) * 1099511628211ull;
    };
    while (true) {
        const ssize_t n = ::read(pipeFds[0], buffer.data() + pending, buffer.size() - 8);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        run.outputBytes += static_cast<std::size_t>(n);
        const std::size_t have = pending + static_cast<std::size_t>(n);
        std::size_t k = 0;
        for (; k + 8 <= have; k += 8) {
            std::uint64_t word;
            std::memcpy(&word, buffer.data() + k, 8);
            mix(word);
        }
        pending = have - k;
        std::memmove(buffer.data(), buffer.data() + k, pending);
    }
    for (std::size_t k = 0; k < pending; ++k)
        mix(static_cast<unsigned char>(buffer[k]));
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.wallSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (std::FILE* result = std::fopen(resultFile.c_str(), "r")) {
        if (std::fscanf(result, "%ld %lf", &run.peakKiB, &run.cpuSeconds) != 2)
            run.peakKiB = 0;
        std::fclose(result);
        std::remove(resultFile.c_str());
    }
    run.exitedZero = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

std::map<std::string, ProcessRun> gProcessRuns; // the fastest run of each

void measureProcess(benchmark::State& state, const char* name, const char* program) {
    const std::string& file = timelineFile();
    ProcessRun best;
    best.wallSeconds = 1e300;
    for (auto _ : state) {
        const ProcessRun run = runProcess(program, file);
        state.SetIterationTime(run.wallSeconds);
        if (!run.exitedZero)
            state.SkipWithError("the program failed");
        if (run.wallSeconds < best.wallSeconds)
            best = run;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(timeline().size()));
    state.counters["peak_MiB"] = static_cast<double>(best.peakKiB) / 1024;
    state.counters["cpu_s"] = best.cpuSeconds;
    state.counters["out_MB"] = static_cast<double>(best.outputBytes) / 1e6;
    gProcessRuns[name] = best;
}

void BM_Process_IcuProgram(benchmark::State& state) {
    measureProcess(state, "IcuProgram", ICU_MARKERS_READ_PATH);
}

void BM_Process_TavrinctlMarkersRead(benchmark::State& state) {
    measureProcess(state, "Tavrinctl", TAVRINCTL_PATH);
}

std::vector<Dictionary> makeComments(std::size_t count) {
    std::vector<Dictionary> comments;
    comments.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        Dictionary c = {{"id", "cmt-" + std::to_string(i)},
                        {"timestamp", static_cast<double>((i * 7919) % count) * 0.37},
                        {"userName", "Reviewer & co"},
                        {"content", "Tighten the cut here, the \"pause\" is < 2 frames > ok"},
                        {"resolved", i % 3 == 0}};
        if (i % 2 == 0)
            c["timestampEnd"] = static_cast<double>((i * 7919) % count) * 0.37 + 2.5;
        comments.push_back(std::move(c));
    }
    return comments;
}

void BM_Write_Generator(benchmark::State& state) {
    const auto comments = makeComments(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(FCPXMLGenerator::generateMarkersFCPXML(comments));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// Baseline: appending as many fixed marker lines to one string.
void BM_Write_AppendFixedLines(benchmark::State& state) {
    const std::string line =
        "            <marker start=\"300/24s\" duration=\"60/24s\" value=\"Reviewer &amp; co\" "
        "note=\"[tavrin:cmt-1:open] Tighten the cut here, the &quot;pause&quot; is &lt; 2\"/>\n";
    for (auto _ : state) {
        std::string out;
        for (int64_t i = 0; i < state.range(0); ++i)
            out += line;
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

} // namespace

BENCHMARK(BM_Read_IcuPerCall)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Read_IcuCompiled)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Read_PugixmlDom)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Read_Reader)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_Read_ReaderOneThread)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_Read_ReaderOnIcuSlice)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_Read_Memchr)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_Process_IcuProgram)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);
BENCHMARK(BM_Process_TavrinctlMarkersRead)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(3);
BENCHMARK(BM_Write_Generator)->Unit(benchmark::kMillisecond)->Arg(10000)->Arg(100000);
BENCHMARK(BM_Write_AppendFixedLines)->Unit(benchmark::kMillisecond)->Arg(10000)->Arg(100000);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    std::printf("Timeline: %zu bytes (ICU measured on its first %zu bytes)\n", timeline().size(),
                icuSlice().size());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    auto ratio = [](const std::string& a, const std::string& b) {
        const auto x = gBytesPerSecond.find(a), y = gBytesPerSecond.find(b);
        if (x == gBytesPerSecond.end() || y == gBytesPerSecond.end())
            return;
        std::printf("%-20s / %-17s = %8.2f\n", a.c_str(), b.c_str(), x->second / y->second);
    };
    std::printf("\nBytes per second of wall time, and of the process's CPU time:\n");
    for (const auto& [name, rate] : gBytesPerSecond)
        std::printf("%-20s %10.1f MB/s %10.1f MB/s\n", name.c_str(), rate / 1e6,
                    gBytesPerCpuSecond[name] / 1e6);
    for (const char* suffix : {"", "+free"}) {
        std::printf("\nReader speed ratios (bytes per second of wall time), %s:\n",
                    *suffix ? "frees timed" : "frees not timed");
        auto with = [&](const char* name) { return std::string(name) + suffix; };
        ratio(with("Reader"), with("IcuPerCall"));
        ratio(with("ReaderOnIcuSlice"), with("IcuPerCall"));
        ratio(with("Reader"), with("IcuCompiled"));
        ratio(with("Reader"), with("PugixmlDom"));
        ratio(with("ReaderOneThread"), with("PugixmlDom"));
        ratio(with("ReaderOneThread"), with("Memchr"));
    }
    const auto icu = gProcessRuns.find("IcuProgram");
    const auto ours = gProcessRuns.find("Tavrinctl");
    if (icu != gProcessRuns.end() && ours != gProcessRuns.end()) {
        const double inputMiB = static_cast<double>(timeline().size()) / (1 << 20);
        std::printf("\nWhole processes on the %.1f MiB timeline (fastest run of each):\n",
                    inputMiB);
        for (const auto* run : {&*icu, &*ours})
            std::printf("%-12s wall %8.3f s  cpu %8.3f s  peak %7.1f MiB  output %zu bytes\n",
                        run->first.c_str(), run->second.wallSeconds, run->second.cpuSeconds,
                        static_cast<double>(run->second.peakKiB) / 1024, run->second.outputBytes);
        std::printf("tavrinctl / ICU program, wall time: %.1f times faster\n",
                    icu->second.wallSeconds / ours->second.wallSeconds);
        std::printf("tavrinctl / ICU program, CPU time:  %.1f times faster\n",
                    icu->second.cpuSeconds / ours->second.cpuSeconds);
        std::printf("tavrinctl peak memory: %.1f MiB = input + %.1f MiB (limit: input + 64 MiB)\n",
                    static_cast<double>(ours->second.peakKiB) / 1024,
                    static_cast<double>(ours->second.peakKiB) / 1024 - inputMiB);
        std::printf("outputs identical: %s\n",
                    icu->second.outputBytes == ours->second.outputBytes &&
                            icu->second.outputHash == ours->second.outputHash
                        ? "yes"
                        : "NO");
    }
    if (!gProcessRuns.empty())
        std::remove(timelineFile().c_str());
    return 0;
}
