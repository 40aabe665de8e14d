#include "common/Base64.h"

#include <gtest/gtest.h>

using tavrin::base64Encode;

TEST(Base64, EncodesWithTheStandardAlphabetAndPadding) {
    EXPECT_EQ(base64Encode(""), "");
    EXPECT_EQ(base64Encode("f"), "Zg==");
    EXPECT_EQ(base64Encode("fo"), "Zm8=");
    EXPECT_EQ(base64Encode("foo"), "Zm9v");
    EXPECT_EQ(base64Encode("foobar"), "Zm9vYmFy");
    EXPECT_EQ(base64Encode(std::string("\xfb\xff\xbf", 3)), "+/+/"); // the last two letters
    EXPECT_EQ(base64Encode(std::string("\0\0", 2)), "AAA=");
    EXPECT_EQ(base64Encode("{\"name\":\"Séquence\"}"), "eyJuYW1lIjoiU8OpcXVlbmNlIn0=");
    // No line breaks, however long the input.
    EXPECT_EQ(base64Encode(std::string(3000, 'x')).find('\n'), std::string::npos);
}
