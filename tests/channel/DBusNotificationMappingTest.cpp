// The mapping between notifications and D-Bus signal bodies, without a bus.

#include "platform/linux/DBusNotificationCenter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>

using tavrin::Dictionary;
using tavrin::Value;
using Center = tavrin::linux_platform::DBusNotificationCenter;

namespace {

struct VariantRef {
    GVariant* v;
    explicit VariantRef(GVariant* p) : v(p ? g_variant_ref_sink(p) : nullptr) {}
    ~VariantRef() {
        if (v)
            g_variant_unref(v);
    }
};

std::optional<tavrin::Notification> roundTrip(const std::string& name,
                                              const std::optional<Dictionary>& info) {
    VariantRef body(Center::encodeBody(name, info));
    if (!body.v)
        return std::nullopt;
    // Through the serialised form, as it crosses the bus.
    GBytes* bytes = g_variant_get_data_as_bytes(body.v);
    VariantRef reread(g_variant_new_from_bytes(g_variant_get_type(body.v), bytes, FALSE));
    g_bytes_unref(bytes);
    // The body is written in serialised form directly: it must be the one form
    // GVariant itself would write.
    EXPECT_TRUE(g_variant_is_normal_form(reread.v)) << name;
    VariantRef normal(g_variant_get_normal_form(reread.v));
    EXPECT_EQ(g_variant_get_size(normal.v), g_variant_get_size(reread.v));
    EXPECT_EQ(std::memcmp(g_variant_get_data(normal.v), g_variant_get_data(reread.v),
                          std::min(g_variant_get_size(normal.v), g_variant_get_size(reread.v))),
              0);
    return Center::decodeBody(reread.v);
}

Dictionary everyKind() {
    return Dictionary{
        {"string", "héllo \"wörld\"\n"},
        {"empty string", ""},
        {"int", -42},
        {"int64 max", std::numeric_limits<std::int64_t>::max()},
        {"int64 min", std::numeric_limits<std::int64_t>::min()},
        {"uint64 max", std::numeric_limits<std::uint64_t>::max()},
        {"double", 12.5},
        {"whole double", 3.0},
        {"true", true},
        {"false", false},
        {"null", nullptr},
        {"array",
         Value::array({1, 2.5, "x", false, nullptr, Value::array(), Dictionary::object()})},
        {"dictionary",
         Dictionary{{"nested", Dictionary{{"deeper", Value::array({Dictionary{}})}}}}},
        {"empty dictionary", Dictionary::object()},
    };
}

TEST(TheSignalMapping, CarriesEveryPropertyListKindLosslessly) {
    Dictionary info = everyKind();
    auto back = roundTrip("com.tavrin.test", info);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->name, "com.tavrin.test");
    ASSERT_TRUE(back->userInfo);
    EXPECT_EQ(*back->userInfo, info);
    // Kinds stay apart: integers, floating numbers and booleans.
    const Dictionary& d = *back->userInfo;
    EXPECT_TRUE(d["int"].is_number_integer());
    EXPECT_TRUE(d["whole double"].is_number_float());
    EXPECT_TRUE(d["true"].is_boolean());
    EXPECT_TRUE(d["null"].is_null());
    EXPECT_TRUE(d["empty dictionary"].is_object());
    EXPECT_TRUE(d["array"][5].is_array());
}

TEST(TheSignalMapping, CarriesBodiesOfEveryFramingWidth) {
    // Containers past 255 bytes and 64 KiB frame their contents with wider
    // offsets; each width must read back unchanged.
    for (std::size_t length : {0, 1, 100, 240, 300, 70000}) {
        Dictionary info{{"text", std::string(length, 'a')},
                        {"list", Value::array({std::string(length, 'b'), 7, nullptr,
                                               Dictionary{{"k", std::string(length, 'c')}}})},
                        {"number", 1.5},
                        {"flag", true}};
        auto back = roundTrip("com.tavrin.test", info);
        ASSERT_TRUE(back) << length;
        EXPECT_EQ(back->userInfo, info) << length;
    }
}

TEST(TheSignalMapping, KeepsNoUserInfoApartFromAnEmptyDictionary) {
    auto none = roundTrip("n", std::nullopt);
    auto empty = roundTrip("n", Dictionary::object());
    ASSERT_TRUE(none && empty);
    EXPECT_FALSE(none->userInfo.has_value());
    ASSERT_TRUE(empty->userInfo.has_value());
    EXPECT_EQ(*empty->userInfo, Dictionary::object());
    VariantRef a(Center::encodeBody("n", std::nullopt));
    VariantRef b(Center::encodeBody("n", Dictionary::object()));
    EXPECT_STREQ(g_variant_get_type_string(a.v), "(s)");
    EXPECT_STREQ(g_variant_get_type_string(b.v), "(sa{sv})");
}

TEST(TheSignalMapping, RefusesWhatTheBusCannotCarry) {
    EXPECT_EQ(Center::encodeBody("n", Value(1)), nullptr);
    EXPECT_EQ(Center::encodeBody("n", Value::array()), nullptr);
    EXPECT_EQ(Center::encodeBody("n", Dictionary{{"k", "bad \xff utf8"}}), nullptr);
    EXPECT_EQ(Center::encodeBody("n", Dictionary{{"bad \xc3", 1}}), nullptr);
    EXPECT_EQ(Center::encodeBody("n", Dictionary{{"k", std::string("nul\0inside", 10)}}), nullptr);
    EXPECT_EQ(Center::encodeBody(std::string("n\xff"), std::nullopt), nullptr);
    // Larger than a D-Bus message may be: the bus would disconnect the sender.
    EXPECT_EQ(Center::encodeBody("n", Dictionary{{"k", std::string(Center::kMaxBodySize, 'x')}}),
              nullptr);

    auto nested = [](int depth) {
        Value v = "leaf";
        for (int i = 1; i < depth; ++i)
            v = (i % 2) ? Value::array({v}) : Value(Dictionary{{"k", v}});
        return Dictionary{{"top", v}};
    };
    VariantRef deepest(Center::encodeBody("n", nested(Center::kMaxNesting)));
    EXPECT_NE(deepest.v, nullptr);
    EXPECT_EQ(Center::encodeBody("n", nested(Center::kMaxNesting + 1)), nullptr);
}

TEST(TheSignalMapping, RejectsBodiesThatDoNotFollowIt) {
    const char* bodies[] = {
        "('n', 5)",                                  // another signature
        "('n',)",                                    // fine: (s), checked below
        "('n', {'k': 5})",                           // a{si}, not a{sv}
        "('n', {'k': <int32 5>})",                   // int32 is not in the mapping
        "('n', {'k': <uint32 5>})",                  //
        "('n', {'k': <uint64 5>})",                  // small unsigned is always x
        "('n', {'k': <byte 5>})",                    //
        "('n', {'k': <objectpath '/a'>})",           //
        "('n', {'k': <[byte 1]>})",                  // null marker must be empty
        "('n', {'k': <['a']>})",                     // as, not av
        "('n', {'k': <(1, 2)>})",                    // structs are not values
        "('n', {'k': <<'nested variant'>>})",        //
        "('n', {'k': <[<int32 1>]>})",               // a bad value inside an array
        "('n', {'k': <{'x': <int32 1>}>})",          // ... inside a dictionary
        "('n', {'k': <{'x': <'a'>}>, 'k2': <1.5>})", // fine: checked below
        "@(sa{sv}) ('n', [{'k', <1>}, {'k', <2>}])", // duplicate key
        "('n', {'k': <1>}, 'extra')",                //
    };
    for (const char* text : bodies) {
        GError* error = nullptr;
        VariantRef body(g_variant_parse(nullptr, text, nullptr, nullptr, &error));
        ASSERT_TRUE(body.v) << text << ": " << (error ? error->message : "");
        auto decoded = Center::decodeBody(body.v);
        bool shouldPass = std::string(text) == "('n',)" ||
                          std::string(text) == "('n', {'k': <{'x': <'a'>}>, 'k2': <1.5>})";
        EXPECT_EQ(decoded.has_value(), shouldPass) << text;
    }
    EXPECT_FALSE(Center::decodeBody(nullptr));
}

TEST(TheSignalMapping, RejectsNestingDeeperThanItsBound) {
    // Built as D-Bus data directly, as a rogue sender would.
    auto deep = [](int levels) {
        GVariant* v = g_variant_new_string("leaf");
        for (int i = 1; i < levels; ++i) {
            GVariant* child = g_variant_new_variant(v);
            v = g_variant_new_array(G_VARIANT_TYPE_VARIANT, &child, 1);
        }
        GVariantBuilder b;
        g_variant_builder_init(&b, G_VARIANT_TYPE_VARDICT);
        g_variant_builder_add(&b, "{sv}", "k", v);
        return g_variant_new("(sa{sv})", "n", &b);
    };
    VariantRef ok(deep(Center::kMaxNesting));
    VariantRef tooDeep(deep(Center::kMaxNesting + 1));
    VariantRef farTooDeep(deep(100));
    EXPECT_TRUE(Center::decodeBody(ok.v));
    EXPECT_FALSE(Center::decodeBody(tooDeep.v));
    EXPECT_FALSE(Center::decodeBody(farTooDeep.v));
}

} // namespace
