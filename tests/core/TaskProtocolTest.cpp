#include "core/TaskProtocol.h"

#include <gtest/gtest.h>

using namespace core;

namespace {

TTaskBegin SampleBegin() {
    TTaskBegin m;
    m.pid = 4242;
    m.tool = "/usr/bin/gcc";
    m.argv = {"cc", "-c", "x.c", "-o", "x.o", "-DNAME=\"a b\""};
    m.cwd = "/src/proj";
    m.kind = TTaskKind::Compile;
    m.source = "x.c";
    m.output = "x.o";
    m.caption = "x.c";
    return m;
}

TTaskGrant SampleGrant() {
    TTaskGrant m;
    m.task = 7;
    m.row = 3;
    m.worker = "local-3";
    m.remote = true;
    m.prefix = {"ccache", "distcc"};
    m.env = {{"CCACHE_DIR", "/var/cache/x"}, {"DISTCC_HOSTS", "127.0.0.1:3632/4"}};
    return m;
}

TTaskEnd SampleEnd() {
    TTaskEnd m;
    m.exitCode = 1;
    m.signal = 0;
    m.errors = 2;
    m.warnings = 5;
    m.durationMs = 1234567890123;
    m.engineFailure = true;
    m.cache = "miss";
    return m;
}

// Every byte value, as a tool could write it (invalid UTF-8 included).
TTaskOutput SampleOutput() {
    TTaskOutput m;
    m.stream = 2;
    for (int byte = 0; byte < 256; ++byte) {
        m.bytes.push_back(static_cast<char>(byte));
    }
    m.bytes += "x.c:1: error: \xe2\x80\x98y\xe2\x80\x99\n";
    return m;
}

std::string Frame(std::string_view payload) {
    std::string frame;
    const auto length = static_cast<std::uint32_t>(payload.size());
    for (int shift = 0; shift < 32; shift += 8) {
        frame.push_back(static_cast<char>((length >> shift) & 0xFF));
    }
    return frame + std::string(payload);
}

} // namespace

TEST(TaskProtocol, EveryMessageRoundTripsThroughFrames) {
    TTaskGrant keyed = SampleGrant();
    keyed.keyVariables = {"SDK_ROOT", "FLAVOUR"};
    keyed.keyFile = "/run/u/cache-1/task-7.key";
    const std::vector<TTaskMessage> messages = {SampleBegin(),
                                                SampleGrant(),
                                                keyed,
                                                TTaskDeny{"the build is stopping"},
                                                SampleEnd(),
                                                SampleOutput(),
                                                TTaskLocalRun{{"cc", "-c", "x.c"}, {"A=1", "B="}},
                                                TTaskSettled{1, 0}};
    std::string bytes;
    for (const auto& m : messages) {
        bytes += EncodeTaskFrame(m);
    }
    // Delivered one byte at a time, as a slow connection could.
    TTaskFrameReader reader;
    std::vector<TTaskMessage> got;
    for (char c : bytes) {
        reader.Append(std::string_view(&c, 1));
        while (auto m = reader.Next()) {
            got.push_back(*m);
        }
    }
    EXPECT_EQ(got, messages);
    EXPECT_EQ(reader.Pending(), 0u);
}

TEST(TaskProtocol, WireFormIsLengthPrefixedJson) {
    const std::string frame = EncodeTaskFrame(TTaskDeny{"stop"});
    const std::string json = R"({"reason":"stop","type":"deny"})";
    ASSERT_EQ(frame.size(), 4 + json.size());
    EXPECT_EQ(static_cast<unsigned char>(frame[0]), json.size());
    EXPECT_EQ(frame.substr(1, 3), std::string(3, '\0'));
    EXPECT_EQ(frame.substr(4), json);
}

TEST(TaskProtocol, UnknownMembersAreIgnored) {
    const auto m =
        TaskMessageFromJson(R"({"type":"deny","reason":"r","future":{"a":[1,2]},"more":null})");
    EXPECT_EQ(std::get<TTaskDeny>(m).reason, "r");
}

TEST(TaskProtocol, InvalidUtf8InArgvIsReplacedNotFatal) {
    TTaskBegin m = SampleBegin();
    m.argv.push_back("bad\xff");
    const auto back = std::get<TTaskBegin>(TaskMessageFromJson(TaskMessageToJson(m)));
    EXPECT_EQ(back.argv.size(), m.argv.size());
}

TEST(TaskProtocol, BadPayloadsAreRefusedWithTheReason) {
    struct TCase {
        const char* json;
        const char* reason;
    };
    const TCase cases[] = {
        {"", "not valid JSON"},
        {"{", "not valid JSON"},
        {"[1]", "not a JSON object"},
        {R"("begin")", "not a JSON object"},
        {R"({})", "\"type\" is missing"},
        {R"({"type":3})", "\"type\" is not a string"},
        {R"({"type":"hello"})", "unknown type \"hello\""},
        {R"({"type":"deny"})", "\"reason\" is missing"},
        {R"({"type":"end","exitCode":"1","signal":0,"errors":0,"warnings":0,"durationMs":0,)"
         R"("engineFailure":false,"cache":""})",
         "\"exitCode\" is not an integer"},
        {R"({"type":"end","exitCode":1.5,"signal":0,"errors":0,"warnings":0,"durationMs":0,)"
         R"("engineFailure":false,"cache":""})",
         "\"exitCode\" is not an integer"},
        {R"({"type":"end","exitCode":4294967296,"signal":0,"errors":0,"warnings":0,)"
         R"("durationMs":0,"engineFailure":false,"cache":""})",
         "\"exitCode\" is out of range"},
        {R"({"type":"end","exitCode":0,"signal":0,"errors":0,"warnings":0,)"
         R"("durationMs":18446744073709551615,"engineFailure":false,"cache":""})",
         "\"durationMs\" is out of range"},
        {R"({"type":"end","exitCode":0,"signal":0,"errors":0,"warnings":0,"durationMs":0,)"
         R"("engineFailure":1,"cache":""})",
         "\"engineFailure\" is not a boolean"},
        {R"({"type":"grant","task":1,"row":0,"worker":"w","remote":false,"prefix":"ccache",)"
         R"("env":{}})",
         "\"prefix\" is not an array"},
        {R"({"type":"grant","task":1,"row":0,"worker":"w","remote":false,"prefix":[1],)"
         R"("env":{}})",
         "\"prefix\" holds an item that is not a string"},
        {R"({"type":"grant","task":1,"row":0,"worker":"w","remote":false,"prefix":[],)"
         R"("env":{"A":1}})",
         "has a value that is not a string: \"A\""},
        {R"({"type":"grant","task":1,"row":0,"worker":"w","remote":false,"prefix":[],)"
         R"("env":{},"keyFile":"/k"})",
         "\"keyVariables\" is missing"},
        {R"({"type":"begin","pid":1,"tool":"t","argv":[],"cwd":"/","kind":"bake",)"
         R"("source":"","output":"","caption":""})",
         "unknown task kind \"bake\""},
        {R"({"type":"output","stream":3,"data":""})", "\"stream\" is out of range"},
        {R"({"type":"output","stream":1})", "\"data\" is missing"},
        {R"({"type":"output","stream":1,"data":"a\u0100"})", "a character above U+00FF"},
        {R"({"type":"output","stream":1,"data":"\u20ac"})", "a character above U+00FF"},
        {R"({"type":"local","argv":[],"env":[]})", "\"argv\" is empty"},
        {R"({"type":"local","argv":["cc"],"env":{"A":"1"}})", "\"env\" is not an array"},
        {R"({"type":"settled","exitCode":0})", "\"signal\" is missing"},
    };
    for (const auto& c : cases) {
        try {
            TaskMessageFromJson(c.json);
            ADD_FAILURE() << "accepted: " << c.json;
        } catch (const ETaskProtocolError& e) {
            EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos)
                << c.json << " -> " << e.what();
        }
    }
}

TEST(TaskProtocol, OversizedFrameLengthIsRefusedBeforeItsBytesArrive) {
    TTaskFrameReader reader;
    const std::uint32_t length = MaxTaskFrameBytes + 1;
    std::string prefix;
    for (int shift = 0; shift < 32; shift += 8) {
        prefix.push_back(static_cast<char>((length >> shift) & 0xFF));
    }
    reader.Append(prefix);
    EXPECT_THROW(reader.Next(), ETaskProtocolError);
}

TEST(TaskProtocol, IncompleteFrameWaitsAndBadFrameThrows) {
    TTaskFrameReader reader;
    const std::string frame = Frame(R"({"type":"deny","reason":"x"})");
    reader.Append(frame.substr(0, frame.size() - 1));
    EXPECT_FALSE(reader.Next().has_value());
    reader.Append(frame.substr(frame.size() - 1));
    EXPECT_TRUE(reader.Next().has_value());
    reader.Append(Frame("not json"));
    EXPECT_THROW(reader.Next(), ETaskProtocolError);
}

TEST(TaskProtocol, EncodingAMessageLargerThanAFrameFails) {
    TTaskBegin m = SampleBegin();
    m.argv.assign(2, std::string(MaxTaskFrameBytes / 2 + 1, 'a'));
    EXPECT_THROW(EncodeTaskFrame(m), ETaskProtocolError);
}

TEST(TaskProtocol, KindNamesRoundTrip) {
    for (auto kind : {TTaskKind::Compile, TTaskKind::Link, TTaskKind::Archive, TTaskKind::Assemble,
                      TTaskKind::Other}) {
        EXPECT_EQ(TaskKindFromName(TaskKindName(kind)), kind);
    }
    EXPECT_FALSE(TaskKindFromName("Compile").has_value());
}
