// Fuzzes the decoding of a script's standard output (outside input: whatever
// the editor's scripts print). Checks that trimming never fails, keeps valid
// UTF-8 valid, and is idempotent.

#include "TavrinFCP/AppleScriptBridge.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::string trimmed = tavrin::container::trimmedScriptOutput(bytes);
    if (trimmed.size() > bytes.size() || bytes.find(trimmed) == std::string_view::npos)
        std::abort();
    if (tavrin::container::trimmedScriptOutput(trimmed) != trimmed)
        std::abort();
    return 0;
}
