// Packet channel and comm pipe: a service end on its own thread and queue, a
// requester on the test's main thread.
#include "../platform/TestProcess.h"
#include "comm/CommPipe.h"
#include "comm/PacketChannel.h"
#include "core/NotifyQueue.h"
#include "packets/GrowingSharedStream.h"
#include "packets/SpinLock.h"
#include "platform/SharedObjects.h"
#include "records/Registration.h"
#include "records/ServicePackets.h"

#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <thread>

using namespace comm;
using namespace testing_support;

namespace {

constexpr std::uint32_t Section = 65536;

// Runs a TCommServer on a thread of its own until the fixture ends.
class TServerThread {
public:
    explicit TServerThread(std::function<void(TCommServer&)> setUp,
                           std::int32_t session = packets::SessionOwn) {
        std::promise<void> ready;
        auto started = ready.get_future();
        thread = std::thread([this, setUp, session, &ready] {
            core::TNotifyQueue queue;
            queue.Attach();
            {
                TCommServer server(channel, Section, session, nullptr, &queue);
                setUp(server);
                stop = [&queue] {
                    queue.Post({nullptr, "test"}, "Stop", [&queue] { queue.Stop(); });
                };
                ready.set_value();
                queue.Run();
            }
        });
        started.wait();
    }
    ~TServerThread() {
        stop();
        thread.join();
    }
    core::TGUID channel = core::NewGuid();

private:
    std::function<void()> stop;
    std::thread thread;
};

class CommTest : public TObjectsDirFixture {
protected:
    void SetUp() override {
        records::RegisterAllPacketClasses();
        queue = std::make_unique<core::TNotifyQueue>();
        queue->Attach();
    }

    std::unique_ptr<TLocalCommPipe> Pipe(const core::TGUID& channel,
                                         std::int32_t session = packets::SessionOwn) {
        return std::make_unique<TLocalCommPipe>(channel, Section, nullptr, "Build Service", session,
                                                queue.get());
    }
    // Each test's own queue, so its external event lives in the test's namespace.
    std::unique_ptr<core::TNotifyQueue> queue;
};

std::string ErrorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "<no error>";
}

} // namespace

TEST_F(CommTest, RequestsAndTheirFailureReplies) {
    TServerThread server([](TCommServer& s) {
        s.Methods().Register(records::TStopJobPacket::StaticClass(), [](TCommExecuteContext& c) {
            auto& stop = static_cast<records::TStopJobPacket&>(c.Request);
            if (stop.JobID.IsNull()) {
                throw core::EGeneralError("no such build");
            }
            records::TStopJobPacket reply;
            reply.JobID = stop.JobID;
            c.SendReply(reply);
            // Only once.
            EXPECT_NE(
                ErrorOf([&] { c.SendReply(reply); }).find("Reply packet can only be sent once"),
                std::string::npos);
        });
        // Answers nothing: the requester gets an empty packet.
        s.Methods().Register(records::TClearFileCachePacket::StaticClass(),
                             [](TCommExecuteContext&) {});
    });
    auto pipe = Pipe(server.channel);
    ASSERT_EQ(pipe->State(), TCommState::Connected);

    records::TStopJobPacket stop;
    stop.JobID = core::NewGuid();
    for (int i = 0; i < 3; ++i) { // the same pipe serves request after request
        auto reply = pipe->Request(stop);
        ASSERT_EQ(&reply->Class(), &records::TStopJobPacket::StaticClass());
        EXPECT_EQ(static_cast<records::TStopJobPacket&>(*reply).JobID, stop.JobID);
    }

    stop.JobID = core::NullGuid;
    EXPECT_EQ(ErrorOf([&] { pipe->Request(stop); }),
              "Failed to complete request: TStopJobPacket\r\nno such build");

    auto empty = pipe->Request(records::TClearFileCachePacket());
    EXPECT_EQ(&empty->Class(), &packets::TPacket::StaticClass());

    const std::string unknown = ErrorOf([&] { pipe->Request(records::TEnableAgentPacket()); });
    EXPECT_EQ(
        unknown.rfind("Failed to complete request: TEnableAgentPacket\r\nUnknown method ID: ", 0),
        0u)
        << unknown;
    EXPECT_NE(unknown.find("(TEnableAgentPacket)"), std::string::npos);
}

TEST_F(CommTest, UnreadablePacketBecomesAnExceptionReply) {
    TServerThread server([](TCommServer&) {});
    auto pipe = Pipe(server.channel);
    // A class the service never registered: write it by hand with a made-up GUID.
    records::TStopJobPacket probe;
    packets::TMemoryStream bytes;
    probe.SaveToStream(bytes);
    auto raw = std::vector<std::uint8_t>(bytes.Bytes().begin(), bytes.Bytes().end());
    // The class GUID sits right after the 16-byte start of the head.
    const core::TGUID bogus = core::NewGuid();
    bool patched = false;
    const core::TGUID real = records::TStopJobPacket::StaticClass().ClassGUID();
    for (std::size_t i = 0; i + 16 <= raw.size(); ++i) {
        if (std::memcmp(&raw[i], real.Bytes.data(), 16) == 0) {
            std::memcpy(&raw[i], bogus.Bytes.data(), 16);
            patched = true;
            break;
        }
    }
    ASSERT_TRUE(patched);
    // Send the doctored bytes through the channel as the sender would.
    TPacketChannelSender& sender = pipe->Sender();
    auto section = platform::TSharedSection::Open(
        packets::SharedObjectName(server.channel, packets::SessionOwn, "Channel_Data"));
    ASSERT_TRUE(section);
    auto* block = static_cast<std::uint8_t*>(section->Data());
    packets::TGrowingSharedStream stream(server.channel, 0, nullptr, false, packets::SessionOwn);
    {
        packets::TSpinLock lock(block + 4);
        packets::TSpinLockGuard guard(lock);
        std::uint8_t head[44] = {3};
        head[4] = mfReplyExpected;
        head[8] = 77;
        std::memcpy(head + 16, pipe->Receiver().ChannelId().Bytes.data(), 16);
        std::memset(head + 32, 0xFF, 4);
        const auto length = static_cast<std::uint32_t>(44 + raw.size());
        std::memcpy(head + 40, &length, 4);
        stream.Seek(0, packets::TSeekOrigin::soBeginning);
        stream.Write(head, 44);
        stream.Write(raw.data(), raw.size());
        std::memcpy(block + 12, &length, 4);
    }
    auto reply = pipe->Receiver().WaitForReply(sender, 77, 10000);
    ASSERT_TRUE(reply);
    ASSERT_EQ(&reply->Packet->Class(), &records::TCommExceptionPacket::StaticClass());
    const auto& error = static_cast<records::TCommExceptionPacket&>(*reply->Packet);
    EXPECT_EQ(error.ExceptionMethodName, "");
    EXPECT_NE(error.ExceptionMessage.find("Failed to load packet: "), std::string::npos);
    EXPECT_NE(error.ExceptionMessage.find("Unregistered packet class: " + bogus.ToString()),
              std::string::npos)
        << error.ExceptionMessage;
    // The service still answers.
    EXPECT_NE(
        ErrorOf([&] { pipe->Request(records::TEnableAgentPacket()); }).find("Unknown method ID"),
        std::string::npos);
}

TEST_F(CommTest, ConnectRefusals) {
    // Nobody created that channel.
    auto lonely = Pipe(core::NewGuid());
    EXPECT_EQ(lonely->State(), TCommState::Terminated);
    EXPECT_EQ(ErrorOf([&] { lonely->CheckConnected(); }),
              "Failed to connect to Build Service (on local machine): Server is not reachable");

    // A channel of an older protocol.
    TServerThread server([](TCommServer&) {});
    {
        auto section = platform::TSharedSection::Open(
            packets::SharedObjectName(server.channel, packets::SessionOwn, "Channel_Data"));
        std::uint32_t two = 2;
        std::memcpy(section->Data(), &two, 4);
        auto old = Pipe(server.channel);
        EXPECT_EQ(old->Sender().ReasonText(), "Unknown protocol version");
        std::uint32_t three = 3;
        std::memcpy(section->Data(), &three, 4);
    }
    EXPECT_EQ(Pipe(server.channel)->State(), TCommState::Connected);
}

TEST_F(CommTest, MessagesArriveInOrderAndForeignRepliesReachTheCallback) {
    TPacketChannelReceiver receiver(*queue, packets::SessionOwn, nullptr, Section, core::NewGuid());
    std::vector<std::uint32_t> seen;
    receiver.SetCallback([&](TPacketChannelMessage& m) { seen.push_back(m.MessageID); });
    const core::TGUID otherTarget = core::NewGuid();
    TPacketChannelSender sender(*queue, Section, packets::SessionOwn, receiver.ChannelId(),
                                otherTarget);
    ASSERT_TRUE(sender.Connect());
    records::TEnableAgentPacket packet;
    const std::uint32_t first = sender.Send(0, packet, 0);
    const std::uint32_t second = sender.Send(0, packet, 0);
    // A reply whose reply-to names another channel is not the awaited reply.
    sender.Send(first, packet, mfReply);
    EXPECT_EQ(second, first + 1);
    receiver.ProcessExternalNotification();
    EXPECT_EQ(seen, (std::vector<std::uint32_t>{first, second, first}));
    EXPECT_EQ(receiver.ReceivedCount(), 0u);

    // The wait for a reply that never comes names the timeout in seconds.
    const std::string timeout = ErrorOf([&] { receiver.WaitForReply(sender, 999, 1000); });
    EXPECT_EQ(timeout.rfind("Timed out waiting for reply from local connection (after 1 seconds; "
                            "Event name: " +
                                platform::OwnSessionObjectDirectory() + "Tavrix_NotifyEvent_",
                            0),
              0u)
        << timeout;
}

// Whatever another user writes into a global channel's control block or buffer,
// the service keeps its channel and answers the next request.
TEST_F(CommTest, ServiceSurvivesAnythingWrittenIntoItsChannel) {
    TServerThread server(
        [](TCommServer& s) {
            s.Methods().Register(records::TStopJobPacket::StaticClass(),
                                 [](TCommExecuteContext& c) { c.SendReply(c.Request); });
        },
        packets::SessionGlobal);
    auto section = platform::TSharedSection::Open(
        packets::SharedObjectName(server.channel, packets::SessionGlobal, "Channel_Data"));
    ASSERT_TRUE(section);
    auto* block = static_cast<std::uint8_t*>(section->Data());
    auto put32 = [&](std::size_t at, std::uint32_t value) { std::memcpy(block + at, &value, 4); };
    packets::TGrowingSharedStream stream(server.channel, 0, nullptr, false, packets::SessionGlobal);
    auto writeGarbage = [&](std::uint32_t length, std::uint8_t fill) {
        std::vector<std::uint8_t> bytes(length, fill);
        bytes[0] = 3;
        std::memcpy(&bytes[40], &length, 4);
        stream.Seek(0, packets::TSeekOrigin::soBeginning);
        stream.Write(bytes.data(), bytes.size());
        put32(12, length);
    };
    const struct {
        const char* what;
        std::function<void()> scribble;
    } cases[] = {
        {"a pending length beyond any limit", [&] { put32(12, 0x7FFFFFF0); }},
        {"a pending length beyond the buffer", [&] { put32(12, 0x100000); }},
        {"the terminated flag", [&] { block[41] = 1; }},
        {"the valid flag cleared", [&] { block[40] = 0; }},
        {"the protocol version", [&] { put32(0, 2); }},
        {"the receiver identity", [&] { put32(20, 0); }},
        {"the queue GUID", [&] { std::memset(block + 24, 0xAB, 16); }},
        {"a lock owner that is no thread", [&] { put32(4, 0xFFFFFFFF); }},
        {"a lock owner with a wild level",
         [&] {
             put32(4, 0x7FFFFFF0);
             put32(8, 0x80000000);
         }},
        {"a message with a wrong length", [&] { writeGarbage(60, 0xEE); }},
        {"a message of garbage",
         [&] {
             writeGarbage(200, 0x5A);
             std::memset(block + 0, 0, 0);
         }},
        {"a section size in the stream",
         [&] {
             auto data = platform::TSharedSection::Open(packets::SharedObjectName(
                 server.channel, packets::SessionGlobal, "SharedStream_Data"));
             std::uint32_t one = 1;
             std::memcpy(static_cast<std::uint8_t*>(data->Data()) + 44, &one, 4);
         }},
    };
    records::TStopJobPacket stop;
    for (const auto& c : cases) {
        c.scribble();
        stop.JobID = core::NewGuid();
        // A fresh requester, as the next console would be: the service mends its
        // channel on its own, so a few tries at most are refused.
        bool answered = false;
        for (int attempt = 0; attempt < 100 && !answered; ++attempt) {
            try {
                auto pipe = Pipe(server.channel, packets::SessionGlobal);
                if (pipe->State() == TCommState::Connected) {
                    auto reply = pipe->Request(stop, 0, 5000);
                    answered = static_cast<records::TStopJobPacket&>(*reply).JobID == stop.JobID;
                }
            } catch (const std::exception&) {
            }
            if (!answered) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
        EXPECT_TRUE(answered) << c.what;
    }
}
