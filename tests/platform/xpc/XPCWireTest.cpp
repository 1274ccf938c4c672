#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/xpc/TestSupport.hpp"
#include "platform/xpc/XPCWire.hpp"

namespace platform {
namespace {

XPCMessage roundTrip(const XPCMessage& message) {
    const auto frame = encodeXPCFrame(message);
    EXPECT_TRUE(frame.has_value());
    XPCFrameReader reader;
    reader.append(frame->data(), frame->size());
    XPCMessage out;
    std::string error;
    EXPECT_EQ(reader.next(out, error), XPCFrameReader::Status::message) << error;
    EXPECT_EQ(reader.buffered(), 0u);
    return out;
}

TEST(XPCWire, EveryValueTypeRoundTrips) {
    const XPCArguments values = {
        XPCValue{},
        XPCValue{true},
        XPCValue{false},
        XPCValue{std::int64_t{-9223372036854775807LL - 1}},
        XPCValue{std::int64_t{9223372036854775807LL}},
        XPCValue{""},
        XPCValue{"h\xC3\xA9llo \"quoted\" \\ \n"},
        XPCValue{Bytes{}},
        XPCValue{Bytes{0x00, 0xFF, 0x10}},
        XPCValue{ErrorObject{"NSOSStatusErrorDomain", -50, ""}},
        XPCValue{std::vector<std::string>{}},
        XPCValue{std::vector<std::string>{"1.1.1.1", ""}},
    };
    const XPCMessage call = XPCCallMessage{"m:withReply:", values, 42};
    EXPECT_EQ(roundTrip(call), call);
    const XPCMessage oneWay = XPCCallMessage{"note:", {XPCValue{7}}, std::nullopt};
    EXPECT_EQ(roundTrip(oneWay), oneWay);
    const XPCMessage reply = XPCReplyMessage{18446744073709551615ULL, values};
    EXPECT_EQ(roundTrip(reply), reply);
    const XPCMessage abandon = XPCAbandonMessage{3};
    EXPECT_EQ(roundTrip(abandon), abandon);
}

TEST(XPCWire, DecodesHandWrittenFrame) {
    const std::string body = R"({"kind":"call",)"  // a message for the exported object
                             R"("selector":"updateConfigWithConfig:completionHandler:",)"
                             R"("args":[{"t":"data","v":"e30="}],)"  // the bytes "{}"
                             R"("id":1,)"                            // the caller waits for reply 1
                             R"("extra":"ignored"})";                // unknown members are ignored
    const auto message = decodeXPCMessage(body);
    ASSERT_TRUE(message.has_value());
    const auto& call = std::get<XPCCallMessage>(*message);
    EXPECT_EQ(call.selector, "updateConfigWithConfig:completionHandler:");
    ASSERT_EQ(call.arguments.size(), 1u);
    EXPECT_EQ(*call.arguments[0].data(), (Bytes{'{', '}'}));
    EXPECT_EQ(call.replyId, 1u);
}

struct Malformed {
    const char* name;
    const char* body;
    friend void PrintTo(const Malformed& m, std::ostream* os) { *os << m.name; }
};

class XPCWireMalformed : public ::testing::TestWithParam<Malformed> {};

TEST_P(XPCWireMalformed, IsRefusedWithAReason) {
    std::string error;
    EXPECT_FALSE(decodeXPCMessage(GetParam().body, &error).has_value());
    EXPECT_FALSE(error.empty());
    // The same body inside a frame breaks the stream.
    XPCFrameReader reader;
    const auto frame = xpctest::frame(GetParam().body);
    reader.append(frame.data(), frame.size());
    XPCMessage out;
    if (!frame.empty() && frame.size() > 4) {
        EXPECT_EQ(reader.next(out, error), XPCFrameReader::Status::malformed);
        EXPECT_EQ(reader.next(out, error), XPCFrameReader::Status::malformed);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, XPCWireMalformed,
    ::testing::Values(
        Malformed{"truncated_json", R"({"kind":"call","selector":"a:","args":[)"},
        Malformed{"not_json", "\x01\x02garbage"}, Malformed{"array", "[1,2]"},
        Malformed{"no_kind", R"({"selector":"a:","args":[]})"},
        Malformed{"kind_not_text", R"({"kind":1,"selector":"a:","args":[]})"},
        Malformed{"unknown_kind", R"({"kind":"bogus"})"},
        Malformed{"no_selector", R"({"kind":"call","args":[]})"},
        Malformed{"empty_selector", R"({"kind":"call","selector":"","args":[]})"},
        Malformed{"args_not_array", R"({"kind":"call","selector":"a:","args":{}})"},
        Malformed{"arg_not_object", R"({"kind":"call","selector":"a:","args":[5]})"},
        Malformed{"arg_without_tag", R"({"kind":"call","selector":"a:","args":[{"v":5}]})"},
        Malformed{"unknown_tag", R"({"kind":"call","selector":"a:","args":[{"t":"date","v":5}]})"},
        Malformed{"int_as_text", R"({"kind":"call","selector":"a:","args":[{"t":"int","v":"5"}]})"},
        Malformed{"int_fraction", R"({"kind":"call","selector":"a:","args":[{"t":"int","v":1.5}]})"},
        Malformed{"int_too_big",
                  R"({"kind":"call","selector":"a:","args":[{"t":"int","v":9223372036854775808}]})"},
        Malformed{"bool_as_int", R"({"kind":"call","selector":"a:","args":[{"t":"bool","v":1}]})"},
        Malformed{"bad_base64", R"({"kind":"call","selector":"a:","args":[{"t":"data","v":"e30"}]})"},
        Malformed{"error_without_code",
                  R"({"kind":"call","selector":"a:","args":[{"t":"error","domain":"D","description":""}]})"},
        Malformed{"texts_with_number",
                  R"({"kind":"call","selector":"a:","args":[{"t":"texts","v":["a",1]}]})"},
        Malformed{"negative_id", R"({"kind":"call","selector":"a:","args":[],"id":-1})"},
        Malformed{"text_id", R"({"kind":"reply","id":"1","args":[]})"},
        Malformed{"reply_without_id", R"({"kind":"reply","args":[]})"},
        Malformed{"reply_without_args", R"({"kind":"reply","id":1})"},
        Malformed{"abandon_without_id", R"({"kind":"abandon"})"},
        Malformed{"invalid_utf8", "{\"kind\":\"call\",\"selector\":\"\xFF\",\"args\":[]}"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(XPCWire, ReaderCutsFramesFedByteByByte) {
    std::string stream;
    for (int i = 0; i < 3; ++i)
        stream += *encodeXPCFrame(XPCCallMessage{"note:", {XPCValue{i}}, std::nullopt});
    XPCFrameReader reader;
    std::vector<std::int64_t> seen;
    for (char c : stream) {
        reader.append(&c, 1);
        XPCMessage m;
        std::string error;
        while (reader.next(m, error) == XPCFrameReader::Status::message) {
            seen.push_back(*std::get<XPCCallMessage>(m).arguments[0].integer());
        }
    }
    EXPECT_EQ(seen, (std::vector<std::int64_t>{0, 1, 2}));
}

// Reads of a socket end anywhere; with chunks between one and two frames long, most
// end inside a frame, so the reader compacts its buffer while part of a frame waits,
// and must go on from that part.
class XPCWireChunked : public ::testing::TestWithParam<double> {};

TEST_P(XPCWireChunked, ReaderKeepsItsPlaceAcrossCompaction) {
    constexpr int kMessages = 24;
    std::string stream;
    std::size_t frameSize = 0;
    for (int i = 0; i < kMessages; ++i) {
        // Equal frames: the same text length for every index.
        const std::string text = "note-" + std::string(2 - std::to_string(i).size(), '0') + std::to_string(i);
        const auto frame = *encodeXPCFrame(XPCCallMessage{"note:", {XPCValue{text}}, std::nullopt});
        frameSize = frame.size();
        stream += frame;
    }
    const auto chunk = static_cast<std::size_t>(GetParam() * static_cast<double>(frameSize));
    ASSERT_GT(chunk, frameSize);
    ASSERT_LT(chunk, 2 * frameSize);

    XPCFrameReader reader;
    std::vector<std::string> seen;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
        reader.append(stream.data() + at, std::min(chunk, stream.size() - at));
        XPCMessage m;
        std::string error;
        XPCFrameReader::Status status;
        while ((status = reader.next(m, error)) == XPCFrameReader::Status::message) {
            seen.push_back(*std::get<XPCCallMessage>(m).arguments.at(0).text());
        }
        ASSERT_EQ(status, XPCFrameReader::Status::needMore) << "after byte " << at << ": " << error;
    }
    ASSERT_EQ(seen.size(), std::size_t(kMessages));
    for (int i = 0; i < kMessages; ++i) {
        EXPECT_EQ(seen[i], "note-" + std::string(i < 10 ? "0" : "") + std::to_string(i));
    }
    EXPECT_EQ(reader.buffered(), 0u);
}

// Chunk length in frames: just over one, a third, a half, just under two.
INSTANTIATE_TEST_SUITE_P(ChunkInFrames, XPCWireChunked, ::testing::Values(1.02, 1.34, 1.5, 1.67, 1.98));

TEST(XPCWire, LengthLimitIsCheckedFromTheHeaderAlone) {
    struct Case {
        std::size_t length;
        XPCFrameReader::Status expected;
    };
    for (const Case c : {Case{0, XPCFrameReader::Status::malformed},
                         Case{kXPCMaxFrameSize, XPCFrameReader::Status::needMore},
                         Case{kXPCMaxFrameSize + 1, XPCFrameReader::Status::malformed},
                         Case{0xFFFFFFFF, XPCFrameReader::Status::malformed}}) {
        const char header[4] = {char((c.length >> 24) & 0xFF), char((c.length >> 16) & 0xFF),
                                char((c.length >> 8) & 0xFF), char(c.length & 0xFF)};
        XPCFrameReader reader;
        reader.append(header, 4);
        XPCMessage m;
        std::string error;
        EXPECT_EQ(reader.next(m, error), c.expected) << c.length;
    }
}

TEST(XPCWire, MessagesUpToTheCapAreEncodedAndLargerOnesRefused) {
    // The body around an empty payload, so that the payload can fill the rest exactly.
    const auto bodySize = [](const XPCMessage& m) { return encodeXPCFrame(m)->size() - kXPCFrameHeaderSize; };
    const std::size_t textOverhead = bodySize(XPCCallMessage{"m:", {XPCValue{""}}, std::nullopt});
    const std::size_t dataOverhead = bodySize(XPCReplyMessage{7, {XPCValue{Bytes{}}}});

    const std::string text(kXPCMaxFrameSize - textOverhead, 'a');
    const auto atCap = encodeXPCFrame(XPCCallMessage{"m:", {XPCValue{text}}, std::nullopt});
    ASSERT_TRUE(atCap.has_value());
    EXPECT_EQ(atCap->size(), kXPCFrameHeaderSize + kXPCMaxFrameSize);

    // Data grows by four base64 characters per three bytes.
    const std::size_t fitting = (kXPCMaxFrameSize - dataOverhead) / 4 * 3;
    const auto largest = encodeXPCFrame(XPCReplyMessage{7, {XPCValue{Bytes(fitting, 0x41)}}});
    ASSERT_TRUE(largest.has_value());
    EXPECT_GT(largest->size(), kXPCFrameHeaderSize + kXPCMaxFrameSize - 4);
    EXPECT_FALSE(encodeXPCFrame(XPCReplyMessage{7, {XPCValue{Bytes(fitting + 1, 0x41)}}}).has_value());
    // Far too large: refused without building it.
    EXPECT_FALSE(encodeXPCFrame(XPCCallMessage{"m:", {XPCValue{Bytes(kXPCMaxFrameSize, 1)}}, std::nullopt}));
}

TEST(XPCWire, InvalidUtf8TextIsSentWithReplacementCharacters) {
    const XPCMessage m = XPCCallMessage{"m:",
                                        {XPCValue{"a\xFF"
                                                  "b"}},
                                        std::nullopt};
    const auto back = roundTrip(m);
    EXPECT_EQ(*std::get<XPCCallMessage>(back).arguments[0].text(),
              "a\xEF\xBF\xBD"
              "b");
}

TEST(XPCWire, DeepNestingIsRefusedWithoutCrashing) {
    const std::string body = std::string(200000, '[') + std::string(200000, ']');
    EXPECT_FALSE(decodeXPCMessage(body).has_value());
}

}  // namespace
}  // namespace platform
