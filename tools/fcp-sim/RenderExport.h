#pragma once
// Writes a stand-in video export the way an editor's export does: creates the
// file, writes it in bursts with pauses in between, then closes it. The
// content is deterministic (the same size gives the same bytes).
//
// Blocks the calling thread for about `seconds`: call it off the main thread.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace tavrin::sim {

struct RenderedExport {
    std::filesystem::path path;
    std::uint64_t size = 0;
    std::string sha256; // lower-case hex
};

// No value, with a reason in *error, when the file cannot be written or the
// name is not a plain file name.
std::optional<RenderedExport> renderExport(const std::filesystem::path& folder,
                                           const std::string& name, std::uint64_t bytes,
                                           double seconds, std::string* error);

} // namespace tavrin::sim
