#include "common/Log.h"

#include <gtest/gtest.h>

namespace tavrin {
namespace {

// One entry is one line whatever its message holds (a path may hold any byte).
TEST(Log, WritesEachEntryOnOneLine) {
    ::testing::internal::CaptureStderr();
    logLine("s", "c", LogLevel::Error, std::string_view("a\nb\rc\x01\x7f\td\0e", 11));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "s [c] error: a\\nb\\rc\\x01\\x7f\td\\x00e\n");
}

} // namespace
} // namespace tavrin
