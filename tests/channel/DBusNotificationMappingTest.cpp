// The mapping between notifications and D-Bus signal bodies, without a bus.

#include "platform/linux/BusSignalSender.h"
#include "platform/linux/DBusNotificationCenter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>

using tavrin::Dictionary;
using tavrin::Value;
using Center = tavrin::linux_platform::DBusNotificationCenter;
using tavrin::linux_platform::BusSignalSender;

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

// The message the centre writes itself must read back as the signal it
// stands for, with the very body bytes GDBus would send.
TEST(TheWireForm, IsTheSignalGDBusWouldSend) {
    std::vector<std::optional<Dictionary>> infos = {
        everyKind(), std::nullopt, Dictionary::object(),
        Dictionary{{"long", std::string(70000, 'a')},
                   {"list", Value::array({Value::array({1, 2.5}), "b", Dictionary{{"k", true}}})}}};
    for (const auto& info : infos) {
        SCOPED_TRACE(info ? info->dump().substr(0, 80) : "no user info");
        auto ours = BusSignalSender::encodeMessage(7, "com.tavrin.test", info);
        ASSERT_TRUE(ours);
        GDBusMessage* read =
            g_dbus_message_new_from_blob(reinterpret_cast<guchar*>(ours->data()), ours->size(),
                                         G_DBUS_CAPABILITY_FLAGS_NONE, nullptr);
        ASSERT_TRUE(read);
        EXPECT_EQ(g_dbus_message_get_message_type(read), G_DBUS_MESSAGE_TYPE_SIGNAL);
        EXPECT_EQ(g_dbus_message_get_serial(read), 7u);
        EXPECT_STREQ(g_dbus_message_get_path(read), Center::kObjectPath);
        EXPECT_STREQ(g_dbus_message_get_interface(read), Center::kInterface);
        EXPECT_STREQ(g_dbus_message_get_member(read), Center::kMember);
        EXPECT_STREQ(g_dbus_message_get_arg0(read), "com.tavrin.test");
        g_object_unref(read);

        GDBusMessage* message =
            g_dbus_message_new_signal(Center::kObjectPath, Center::kInterface, Center::kMember);
        g_dbus_message_set_body(message, Center::encodeBody("com.tavrin.test", info));
        gsize size = 0;
        guchar* blob =
            g_dbus_message_to_blob(message, &size, G_DBUS_CAPABILITY_FLAGS_NONE, nullptr);
        std::uint32_t bodySize = 0;
        std::memcpy(&bodySize, ours->data() + 4, 4);
        ASSERT_LE(bodySize, size);
        EXPECT_TRUE(ours->ends_with(
            std::string_view(reinterpret_cast<char*>(blob) + size - bodySize, bodySize)));
        g_free(blob);
        g_object_unref(message);
    }
}

TEST(TheSignalMapping, RefusesWhatTheBusCannotCarry) {
    // Both ways out refuse the same notifications.
    auto refused = [](const std::string& name, const std::optional<Dictionary>& info) {
        VariantRef body(Center::encodeBody(name, info));
        return body.v == nullptr && !BusSignalSender::encodeMessage(1, name, info);
    };
    EXPECT_TRUE(refused("n", Value(1)));
    EXPECT_TRUE(refused("n", Value::array()));
    EXPECT_TRUE(refused("n", Dictionary{{"k", "bad \xff utf8"}}));
    EXPECT_TRUE(refused("n", Dictionary{{"bad \xc3", 1}}));
    EXPECT_TRUE(refused("n", Dictionary{{"k", std::string("nul\0inside", 10)}}));
    EXPECT_TRUE(refused(std::string("n\xff"), std::nullopt));
    // Larger than a D-Bus message may be: the bus would disconnect the sender.
    EXPECT_TRUE(refused("n", Dictionary{{"k", std::string(Center::kMaxBodySize, 'x')}}));
    // So would an array over 64 MiB, in a message under the largest.
    Value list = Value::array();
    for (int i = 0; i < 65; ++i)
        list.push_back(std::string((1 << 20) - 64, 'x')); // 64 of them fit
    EXPECT_FALSE(BusSignalSender::encodeMessage(1, "n", Dictionary{{"list", list}}));
    list.erase(list.size() - 1);
    EXPECT_TRUE(BusSignalSender::encodeMessage(1, "n", Dictionary{{"list", list}}));

    auto nested = [](int depth) {
        Value v = "leaf";
        for (int i = 1; i < depth; ++i)
            v = (i % 2) ? Value::array({v}) : Value(Dictionary{{"k", v}});
        return Dictionary{{"top", v}};
    };
    VariantRef deepest(Center::encodeBody("n", nested(Center::kMaxNesting)));
    EXPECT_NE(deepest.v, nullptr);
    EXPECT_TRUE(BusSignalSender::encodeMessage(1, "n", nested(Center::kMaxNesting)));
    EXPECT_TRUE(refused("n", nested(Center::kMaxNesting + 1)));
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
