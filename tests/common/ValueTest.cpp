#include "common/Value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using tavrin::Value;

TEST(PropertyListValues, ReadAStringOnlyFromAString) {
    Value d = {{"s", "text"}, {"n", 1}, {"b", true}, {"null", nullptr}};
    EXPECT_EQ(tavrin::stringFor(d, "s"), "text");
    EXPECT_FALSE(tavrin::stringFor(d, "n"));
    EXPECT_FALSE(tavrin::stringFor(d, "b"));
    EXPECT_FALSE(tavrin::stringFor(d, "null"));
    EXPECT_FALSE(tavrin::stringFor(d, "missing"));
    EXPECT_FALSE(tavrin::stringFor(Value::array({"s"}), "s"));
}

TEST(PropertyListValues, ReadIntegersAndFloatsAsNumbersButNeverBooleans) {
    Value d = {{"i", 3}, {"u", 18446744073709551615ull}, {"f", 2.5}, {"t", true}, {"s", "1"}};
    EXPECT_EQ(tavrin::numberFor(d, "i"), 3.0);
    EXPECT_EQ(tavrin::numberFor(d, "u"), 18446744073709551615.0);
    EXPECT_EQ(tavrin::numberFor(d, "f"), 2.5);
    EXPECT_FALSE(tavrin::numberFor(d, "t"));
    EXPECT_FALSE(tavrin::numberFor(d, "s"));
    // Integers and floats stay distinct kinds in the model.
    EXPECT_TRUE(d["i"].is_number_integer());
    EXPECT_TRUE(d["f"].is_number_float());
}

TEST(PropertyListValues, ReadDictionariesAndArraysOfDictionaries) {
    Value d = {{"obj", {{"a", 1}}},
               {"arr", Value::array({Value::object(), {{"k", "v"}}})},
               {"empty", Value::array()},
               {"mixed", Value::array({Value::object(), 1})},
               {"list", Value::array({1, 2})}};
    EXPECT_EQ(tavrin::dictionaryFor(d, "obj")->at("a"), 1);
    EXPECT_FALSE(tavrin::dictionaryFor(d, "arr"));
    EXPECT_EQ(tavrin::arrayOfDictionariesFor(d, "arr")->size(), 2u);
    EXPECT_EQ(tavrin::arrayOfDictionariesFor(d, "empty")->size(), 0u);
    EXPECT_FALSE(tavrin::arrayOfDictionariesFor(d, "mixed"));
    EXPECT_FALSE(tavrin::arrayOfDictionariesFor(d, "list"));
    EXPECT_FALSE(tavrin::arrayOfDictionariesFor(d, "obj"));
}

TEST(JsonText, WritesCompactJsonAndTopLevelScalars) {
    EXPECT_EQ(tavrin::writeJSON(Value(true)), "true");
    EXPECT_EQ(tavrin::writeJSON(Value(12)), "12");
    EXPECT_EQ(tavrin::writeJSON(Value("a\"b")), "\"a\\\"b\"");
    EXPECT_EQ(tavrin::writeJSON(Value{{"a", Value::array({1, nullptr})}}), "{\"a\":[1,null]}");
    EXPECT_EQ(tavrin::writeJSON(Value("Zürich ✓")), "\"Zürich ✓\"");
}

TEST(JsonText, RefusesNonFiniteNumbersAnywhereAndInvalidUtf8) {
    double inf = std::numeric_limits<double>::infinity();
    EXPECT_FALSE(tavrin::writeJSON(Value(std::nan(""))));
    EXPECT_FALSE(tavrin::writeJSON(Value{{"deep", {{"x", Value::array({1, inf})}}}}));
    EXPECT_FALSE(tavrin::writeJSON(Value(std::string("\xff\xfe"))));
    EXPECT_FALSE(tavrin::writeJSON(Value{{std::string("k\xc3"), 1}}));
}

TEST(JsonText, ParsesOneValueAndRefusesGarbageAndDeepNesting) {
    EXPECT_EQ(tavrin::parseJSON("[1, {\"a\": true}]")->at(1).at("a"), true);
    EXPECT_FALSE(tavrin::parseJSON(""));
    EXPECT_FALSE(tavrin::parseJSON("{\"a\":"));
    EXPECT_FALSE(tavrin::parseJSON("[1] [2]"));
    EXPECT_FALSE(tavrin::parseJSON("\"\xff\""));
    std::string deep(100000, '[');
    EXPECT_FALSE(tavrin::parseJSON(deep));
    EXPECT_TRUE(tavrin::parseJSON("[\"[[[[\"]", 1)); // brackets inside strings do not count
}
