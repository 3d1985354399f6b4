// OSC message model, its diagnostics, and the encoding as another decoder reads it.
#include <gtest/gtest.h>

#include <vector>

#include "LoDecoder.h"
#include "VexoOsc/VexoOscBundle.h"
#include "VexoOsc/VexoOscMessage.h"
#include "VexoOsc/VexoOscSender.h"

using namespace VexoSource;
using outputtest::LoDecoder;

namespace {

VexoOscMessage Tagged(const std::string& tag, int value) {
    VexoOscMessage m;
    m.address = "/tuio/2Dcur";
    m.addStringArg(tag);
    m.addIntArg(value);
    return m;
}

std::vector<char> Encode(const VexoOscBundle& bundle) {
    std::vector<char> buffer(VexoOscSender::kBundleBufferBytes);
    std::size_t size = 0;
    EXPECT_TRUE(VexoOscSender::EncodeBundle(bundle, buffer.data(), buffer.size(), &size));
    buffer.resize(size);
    return buffer;
}

}  // namespace

TEST(OscMessage, TypesAndOutOfBoundsFallbacks) {
    VexoOscMessage m;
    m.addIntArg(3);
    m.addFloatArg(1.5f);
    m.addStringArg("set");
    ASSERT_EQ(m.getNumArgs(), 3);
    EXPECT_EQ(m.getArgType(0), VEXO_OSC_TYPE_INT32);
    EXPECT_EQ(m.getArgType(1), VEXO_OSC_TYPE_FLOAT);
    EXPECT_EQ(m.getArgType(2), VEXO_OSC_TYPE_STRING);
    EXPECT_EQ(m.getArgTypeName(0), "int32");
    EXPECT_EQ(m.getArgTypeName(1), "float");
    EXPECT_EQ(m.getArgTypeName(2), "string");
    EXPECT_EQ(VexoOscArg().getTypeName(), "none");

    testing::internal::CaptureStderr();
    EXPECT_EQ(m.getArgType(5), VEXO_OSC_TYPE_INDEXOUTOFBOUNDS);
    EXPECT_EQ(m.getArgTypeName(-1), "INDEX OUT OF BOUNDS");
    EXPECT_EQ(m.getArgAsInt32(9), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("VexoOscMessage::getArgType: index 5 out of bounds\n"), std::string::npos);
    EXPECT_NE(err.find("VexoOscMessage::getArgTypeName: index -1 out of bounds\n"),
              std::string::npos);
    EXPECT_NE(err.find("VexoOscMessage:getArgAsInt32: error: argument 9 is not a number\n"),
              std::string::npos);
}

TEST(OscMessage, ConversionsTruncateAndWarn) {
    VexoOscMessage m;
    m.addFloatArg(2.9f);
    m.addFloatArg(-2.9f);
    m.addIntArg(42);
    m.addStringArg("text");
    m.addFloatArg(1e20f);

    testing::internal::CaptureStderr();
    EXPECT_EQ(m.getArgAsInt32(0), 2);
    EXPECT_EQ(m.getArgAsInt32(1), -2);
    EXPECT_EQ(m.getArgAsInt32(4), 2147483647) << "saturates instead of overflowing";
    EXPECT_EQ(m.getArgAsFloat(2), 42.0f);
    EXPECT_EQ(m.getArgAsString(2), "42");
    EXPECT_EQ(m.getArgAsString(0), "2.900000");
    EXPECT_EQ(m.getArgAsInt32(3), 0);
    EXPECT_EQ(m.getArgAsFloat(3), 0.0f);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("converting float to int32 for argument 0"), std::string::npos);
    EXPECT_NE(err.find("converting int32 to float for argument 2"), std::string::npos);
    EXPECT_NE(err.find("VexoOscMessage:getArgAsString: warning: converting int32 to string for "
                       "argument 2\n"),
              std::string::npos);
    EXPECT_NE(err.find("VexoOscMessage:getArgAsString: warning: converting float to string for "
                       "argument 0\n"),
              std::string::npos);
    EXPECT_NE(err.find("VexoOscMessage:getArgAsInt32: error: argument 3 is not a number\n"),
              std::string::npos);
    EXPECT_NE(err.find("VexoOscMessage:getArgAsFloat: error: argument 3 is not a number\n"),
              std::string::npos);

    testing::internal::CaptureStderr();
    EXPECT_EQ(m.getArgAsString(3), "text");
    EXPECT_EQ(m.getArgAsFloat(0), 2.9f);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "matching types print nothing";
}

TEST(OscMessage, CopiesOwnTheirArguments) {
    auto source = std::make_unique<VexoOscMessage>();
    source->address = "/a";
    source->remoteHost = "10.0.0.1";
    source->remotePort = 9;
    source->addIntArg(7);
    source->addFloatArg(0.5f);
    source->addStringArg("s");
    VexoOscMessage copy(*source);
    source.reset();
    ASSERT_EQ(copy.getNumArgs(), 3);
    EXPECT_EQ(copy.address, "/a");
    EXPECT_EQ(copy.remoteHost, "10.0.0.1");
    EXPECT_EQ(copy.remotePort, 9);
    testing::internal::CaptureStderr();
    EXPECT_EQ(copy.getArgAsInt32(0), 7);
    EXPECT_EQ(copy.getArgAsFloat(1), 0.5f);
    EXPECT_EQ(copy.getArgAsString(2), "s");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    copy.copy(copy);
    EXPECT_EQ(copy.getNumArgs(), 6) << "copying into itself appends once";
    copy.clear();
    EXPECT_EQ(copy.getNumArgs(), 0);
    EXPECT_EQ(copy.address, "");
}

TEST(OscBundle, CopyAppendsAssignmentReplaces) {
    VexoOscBundle inner;
    inner.addMessage(Tagged("inner", 0));
    VexoOscBundle a;
    a.addBundle(inner);
    a.addMessage(Tagged("set", 1));
    VexoOscBundle b;
    b.addMessage(Tagged("old", 9));
    b.copy(a);
    EXPECT_EQ(b.getMessageCount(), 2);
    EXPECT_EQ(b.getBundleCount(), 1);
    b = a;
    EXPECT_EQ(b.getMessageCount(), 1);
    EXPECT_EQ(b.getBundleCount(), 1);
    EXPECT_EQ(b.getMessageAt(0).getArgAsString(0), "set");
}

TEST(OscEncoding, NestedBundlesThenMessagesInOrder) {
    VexoOscBundle inner;
    inner.addMessage(Tagged("inner", 0));
    VexoOscBundle frame;
    frame.addMessage(Tagged("set", 1));
    frame.addMessage(Tagged("alive", 2));
    frame.addMessage(Tagged("fseq", 3));
    frame.addBundle(inner);

    const std::vector<char> bytes = Encode(frame);
    ASSERT_EQ(std::string(bytes.data(), 8), std::string("#bundle\0", 8));
    // Time tag 1: "immediately".
    EXPECT_EQ(std::string(bytes.data() + 8, 8), std::string("\0\0\0\0\0\0\0\1", 8));

    LoDecoder lo;
    ASSERT_TRUE(lo.Valid());
    ASSERT_TRUE(lo.Dispatch(bytes.data(), bytes.size()));
    ASSERT_EQ(lo.messages.size(), 4u);
    EXPECT_EQ(lo.messages[0].args[0].s, "inner");
    EXPECT_EQ(lo.messages[1].args[0].s, "set");
    EXPECT_EQ(lo.messages[2].args[0].s, "alive");
    EXPECT_EQ(lo.messages[3].args[0].s, "fseq");
    EXPECT_EQ(lo.messages[3].types, "si");
    EXPECT_EQ(lo.messages[3].args[1].i, 3);
    EXPECT_EQ(lo.bundleStarts, 2);
}

TEST(OscEncoding, OverfullBundleIsRefusedNotTruncated) {
    VexoOscBundle frame;
    VexoOscMessage m;
    m.address = "/big";
    m.addStringArg(std::string(40000, 'b'));
    frame.addMessage(m);
    char buffer[VexoOscSender::kBundleBufferBytes];
    std::size_t size = 123;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(VexoOscSender::EncodeBundle(frame, buffer, sizeof buffer, &size));
    EXPECT_NE(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(size, 0u);
}

TEST(OscSender, DatagramsReachAnotherDecoder) {
    LoDecoder lo;
    ASSERT_TRUE(lo.Valid());
    VexoOscSender sender;
    testing::internal::CaptureStderr();
    sender.SendMessage(Tagged("early", 0));
    EXPECT_NE(testing::internal::GetCapturedStderr(), "") << "send before Setup is reported";
    ASSERT_TRUE(sender.Setup("127.0.0.1", lo.Port()));

    sender.SendMessage(Tagged("single", 5));
    ASSERT_TRUE(lo.Receive(5000));
    ASSERT_EQ(lo.messages.size(), 1u);
    EXPECT_EQ(lo.bundleStarts, 1) << "a lone message still travels in a bundle";
    EXPECT_EQ(lo.messages[0].args[1].i, 5);

    lo.Clear();
    VexoOscBundle frame;
    frame.addMessage(Tagged("a", 1));
    frame.addMessage(Tagged("b", 2));
    sender.SendBundle(frame);
    ASSERT_TRUE(lo.Receive(5000));
    ASSERT_EQ(lo.messages.size(), 2u);
    EXPECT_EQ(lo.messages[1].args[0].s, "b");

    testing::internal::CaptureStderr();
    EXPECT_FALSE(sender.Setup("no-such-host.invalid", lo.Port()));
    testing::internal::GetCapturedStderr();
    EXPECT_FALSE(sender.IsSetup());
}
