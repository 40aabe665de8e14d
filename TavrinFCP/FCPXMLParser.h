#pragma once
// Reads the markers this system wrote out of an exported FCPXML document.
// Stateless; every operation is a pure function of its arguments and may be
// called from any thread.
//
// The document is scanned as text, not parsed as XML: a marker element is
// "<marker" (letters in any case) followed by Unicode white space, and its
// attribute text runs to the first ">" that stands outside a quoted value,
// without a "/" right before that ">". Text is UTF-8; positions are bytes.

#include "common/Value.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavrin::container {

// One tagged marker (or one comment on its way to the writer): the six keys of
// the marker record as plain fields. The strings are views; in a MarkerList
// they point into the list's own storage.
struct MarkerRecord {
    std::string_view id;
    double timestamp = 0;               // seconds
    std::optional<double> timestampEnd; // seconds; none is the record's null
    std::string_view userName;
    std::string_view content;
    bool resolved = false;
};

// Marker records whose strings live in one arena owned by the list, so a list
// of any length costs a few allocations. Move-only; moving keeps every view.
class MarkerList {
  public:
    MarkerList() = default;
    // The list moved from is left empty, with no room of its own: its free
    // room lies in the blocks it gave away.
    MarkerList(MarkerList&& other) noexcept { *this = std::move(other); }
    MarkerList& operator=(MarkerList&& other) noexcept {
        if (this != &other) {
            records_ = std::exchange(other.records_, {});
            blocks_ = std::exchange(other.blocks_, {});
            free_ = std::exchange(other.free_, nullptr);
            freeBytes_ = std::exchange(other.freeBytes_, 0);
            nextBlock_ = other.nextBlock_;
        }
        return *this;
    }
    MarkerList(const MarkerList&) = delete;
    MarkerList& operator=(const MarkerList&) = delete;

    std::size_t size() const { return records_.size(); }
    bool empty() const { return records_.empty(); }
    const MarkerRecord& operator[](std::size_t i) const { return records_[i]; }
    std::vector<MarkerRecord>::const_iterator begin() const { return records_.begin(); }
    std::vector<MarkerRecord>::const_iterator end() const { return records_.end(); }
    std::span<const MarkerRecord> records() const { return records_; }

    // Appends a copy of the record, its strings copied into the arena.
    void push_back(const MarkerRecord& record);
    // Drops the records for which keep(record) is false; the order stays.
    template <typename Keep> void keepIf(Keep&& keep) {
        std::erase_if(records_, [&](const MarkerRecord& r) { return !keep(r); });
    }

  private:
    friend struct FCPXMLParser;
    friend struct MarkerSegment;
    // Takes other's records from `from` on, and the storage they point into.
    void append(MarkerList&& other, std::size_t from);
    // Room for n bytes that stays where it is for the list's lifetime.
    char* allocate(std::size_t n);
    // Gives back the unused end of the last allocation (n bytes of it used).
    void shrinkLast(char* start, std::size_t allocated, std::size_t used);
    std::string_view store(std::string_view text);

    std::vector<MarkerRecord> records_;
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* free_ = nullptr;
    std::size_t freeBytes_ = 0;
    std::size_t nextBlock_ = 64 * 1024;
};

// The six-key marker record (a property-list dictionary), for where a record
// leaves the process or is handed on as a comment record.
Dictionary toDictionary(const MarkerRecord& record);
std::vector<Dictionary> toDictionaries(std::span<const MarkerRecord> records);

// A comment record as the writer reads it: "timestamp" (not a finite number:
// 0), "timestampEnd" (not a finite number: none), "userName" (not a string:
// "Unknown"), "content" and "id" (not a string: empty), "resolved" (not a
// boolean: false). The views point into `comment`.
MarkerRecord commentRecord(const Dictionary& comment);

struct FCPXMLParser {
    // One record per tagged marker element ("[tavrin:" note), in document
    // order. Never fails; linear in the length of the document, constant stack.
    //
    // Attributes are read as XML writes them: whole names, double or single
    // quotes, white space around "="; values are decoded (the five named
    // entities and character references). In the identifier "%3A", "%5D" and
    // "%25" read as ":", "]" and "%" (the writer encodes them so).
    //
    // A long document is read in stretches, each on a thread of its own (as
    // many as the machine has cores, each at least 4 MiB long); the records
    // are those of one scan from the start.
    static MarkerList parseMarkers(std::string_view document);
    // The same, read in `stretches` stretches of equal length (1: on the
    // calling thread alone).
    static MarkerList parseMarkers(std::string_view document, std::size_t stretches);

    // The decoded value of the first attribute called `name` in an element's
    // attribute text, or "" when it is not there.
    static std::string extractAttr(std::string_view attributes, std::string_view name);

    // An FCPXML time ("1001/30000s", "3600s") in seconds; 0 for anything
    // unreadable. Always finite.
    static double rationalToSeconds(std::string_view text);

    // Whether the text is an FCPXML document: after an optional byte order
    // mark, XML declaration, comments, processing instructions and document
    // type, the root element is "fcpxml", and it is closed (an empty element,
    // or "</fcpxml>" followed by nothing but white space, comments and
    // processing instructions). An empty file, an HTML page or a cut-off
    // export is not.
    static bool isFCPXMLDocument(std::string_view text);
};

} // namespace tavrin::container
