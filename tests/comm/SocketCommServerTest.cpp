// The agent's request transport: channel messages framed over a local socket, a
// server that names each caller by the kernel's peer credentials, its limits, and
// the client connection that checks who listens.
#include "comm/SocketCommServer.h"
#include "../platform/TestProcess.h"
#include "comm/AgentConnection.h"
#include "comm/AgentSocket.h"
#include "comm/MessageFrame.h"
#include "core/NotifyQueue.h"
#include "platform/LocalSocket.h"
#include "platform/SharedObjects.h"
#include "records/Registration.h"
#include "records/ServicePackets.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <thread>
#include <unistd.h>

using namespace comm;
using namespace testing_support;

namespace {

std::string Head(std::uint8_t version, std::uint8_t flags, std::uint32_t length) {
    auto head = MakeMessageHead(flags, 1, core::TGUID{}, -1, length);
    head[0] = version;
    return std::string(head.begin(), head.end());
}

TEST(MessageFrameTest, MessagesComeOutWholeWhateverThePieces) {
    records::RegisterAllPacketClasses();
    records::TStopJobPacket stop;
    stop.JobID = core::NewGuid();
    const std::string stream = EncodeMessage(stop, mfReplyExpected, 5) +
                               EncodeMessage(records::TQueryServiceStatusPacket(), 0, 6);
    for (const std::size_t piece :
         {std::size_t{1}, std::size_t{7}, std::size_t{44}, std::size_t{1000}}) {
        SCOPED_TRACE(piece);
        TMessageFrameReader reader(1u << 20);
        std::vector<std::unique_ptr<TPacketChannelMessage>> got;
        for (std::size_t at = 0; at < stream.size(); at += piece) {
            reader.Append(stream.data() + at, std::min(piece, stream.size() - at));
            while (auto message = reader.Next()) {
                got.push_back(std::move(message));
            }
        }
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got[0]->MessageID, 5u);
        EXPECT_EQ(got[0]->Flags, mfReplyExpected);
        ASSERT_EQ(&got[0]->Packet->Class(), &records::TStopJobPacket::StaticClass());
        EXPECT_EQ(static_cast<records::TStopJobPacket&>(*got[0]->Packet).JobID, stop.JobID);
        EXPECT_EQ(&got[1]->Packet->Class(), &records::TQueryServiceStatusPacket::StaticClass());
        EXPECT_EQ(reader.Buffered(), 0u);
    }
}

TEST(MessageFrameTest, MalformedHeadsAreRefusedAndUnreadablePacketsSaySo) {
    records::RegisterAllPacketClasses();
    const struct {
        const char* What;
        std::string Bytes;
    } refused[] = {
        {"version 2", Head(2, 0, 44)},
        {"length below the head", Head(3, 0, 43)},
        {"length above the limit", Head(3, 0, 4097)},
    };
    for (const auto& bad : refused) {
        SCOPED_TRACE(bad.What);
        TMessageFrameReader reader(4096);
        reader.Append(bad.Bytes.data(), bad.Bytes.size());
        EXPECT_THROW(reader.Next(), std::exception);
    }
    // A well-framed message whose packet is junk: an exception packet, and the
    // stream goes on.
    TMessageFrameReader reader(4096);
    const std::string junk = Head(3, mfReplyExpected, 44 + 5) + "\x01\x02\x03\x04\x05" +
                             EncodeMessage(records::TQueryServiceStatusPacket(), 0, 2);
    reader.Append(junk.data(), junk.size());
    const auto first = reader.Next();
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->Packet->Class().InheritsFrom(records::TCommExceptionPacket::StaticClass()));
    const auto second = reader.Next();
    ASSERT_TRUE(second);
    EXPECT_EQ(&second->Packet->Class(), &records::TQueryServiceStatusPacket::StaticClass());
}

// A server on a thread of its own, answering status requests with the caller it saw.
class TSocketServerThread {
public:
    explicit TSocketServerThread(TSocketCommServer::TLimits limits) {
        std::promise<void> ready;
        auto started = ready.get_future();
        thread = std::thread([this, limits, &ready] {
            core::TNotifyQueue queue;
            queue.Attach();
            {
                TSocketCommServer server(AgentSocketFolder(), AgentSocketPath(), queue, limits);
                server.Methods().Register(records::TQueryServiceStatusPacket::StaticClass(),
                                          [](TCommExecuteContext& context) {
                                              records::TQueryServiceStatusReplyPacket reply;
                                              reply.AgentID =
                                                  std::to_string(context.Caller.value_or(99999)) +
                                                  "/" +
                                                  std::to_string(context.CallerProcess.value_or(0));
                                              context.SendReply(reply);
                                          });
                self = &server;
                stop = [&queue] {
                    queue.Post({nullptr, "test"}, "Stop", [&queue] { queue.Stop(); });
                };
                ready.set_value();
                queue.Run();
                self = nullptr;
            }
        });
        started.wait();
    }
    ~TSocketServerThread() {
        stop();
        thread.join();
    }
    TSocketCommServer* self = nullptr;

private:
    std::function<void()> stop;
    std::thread thread;
};

class SocketCommServerTest : public TObjectsDirFixture {
protected:
    SocketCommServerTest() { records::RegisterAllPacketClasses(); }
    static std::string CallerSeen(TAgentConnection& connection) {
        const auto reply = connection.Request(records::TQueryServiceStatusPacket());
        return static_cast<records::TQueryServiceStatusReplyPacket&>(*reply).AgentID;
    }
};

TEST_F(SocketCommServerTest, TheCallerIsWhomTheKernelNames) {
    TSocketServerThread server({});
    const auto connection = ConnectToAgent();
    const std::string me = std::to_string(::getuid()) + "/" + std::to_string(::getpid());
    EXPECT_EQ(CallerSeen(*connection), me);
    EXPECT_EQ(CallerSeen(*connection), me);
    EXPECT_TRUE(connection->Open());
    // Its folder is this user's, open to every user for reading only.
    struct stat st {};
    ASSERT_EQ(::stat(AgentSocketFolder().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    ASSERT_EQ(::stat(AgentSocketPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);
}

TEST_F(SocketCommServerTest, LimitsCloseTheOffenderOnly) {
    TSocketCommServer::TLimits limits;
    limits.ConnectionsPerUser = 2;
    limits.MessageBytes = 4096;
    TSocketServerThread server(limits);
    std::string why;
    const auto first = ConnectAgentSocket(why);
    ASSERT_TRUE(first) << why;
    const auto second = ConnectAgentSocket(why);
    ASSERT_TRUE(second) << why;
    // A third connection of the same user is closed at once.
    const auto third = ConnectAgentSocket(why);
    ASSERT_TRUE(third) << why;
    char byte;
    ASSERT_TRUE(third->WaitReadable(5000));
    EXPECT_EQ(third->Receive(&byte, 1), 0);
    // A message above the size limit closes its connection...
    ASSERT_TRUE(second->SendAll(Head(3, mfReplyExpected, 5000)));
    ASSERT_TRUE(second->WaitReadable(5000));
    EXPECT_LE(second->Receive(&byte, 1), 0);
    // ...and the others are served.
    ASSERT_TRUE(
        first->SendAll(EncodeMessage(records::TQueryServiceStatusPacket(), mfReplyExpected, 1)));
    ASSERT_TRUE(first->WaitReadable(5000));
    EXPECT_GT(first->Receive(&byte, 1), 0);
    EXPECT_GE(server.self->Dropped(), 2u);
}

TEST_F(SocketCommServerTest, ARemovedSocketIsPutBack) {
    TSocketCommServer::TLimits limits;
    limits.RecheckMs = 100;
    TSocketServerThread server(limits);
    std::filesystem::remove_all(AgentSocketFolder());
    bool back = false;
    for (int i = 0; i < 100 && !back; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::string why;
        back = ConnectAgentSocket(why) != nullptr;
    }
    EXPECT_TRUE(back);
    EXPECT_GE(server.self->Restored(), 1u);
    const auto connection = ConnectToAgent();
    EXPECT_EQ(CallerSeen(*connection),
              std::to_string(::getuid()) + "/" + std::to_string(::getpid()));
}

TEST_F(SocketCommServerTest, ASecondServerDoesNotTakeTheSocket) {
    TSocketServerThread server({});
    core::TNotifyQueue queue;
    queue.Attach();
    EXPECT_THROW(TSocketCommServer(AgentSocketFolder(), AgentSocketPath(), queue), std::exception);
    const auto connection = ConnectToAgent();
    EXPECT_NO_THROW(CallerSeen(*connection));
}

TEST(AgentSocketTest, ALongObjectsRootGetsAShortSocketPathOfItsOwn) {
    const std::string longRoot = "/dev/shm/" + std::string(120, 'r');
    TScopedEnv env("TAVRIX_OBJECTS_DIR", longRoot);
    const std::string path = AgentSocketPath();
    EXPECT_LE(path.size(), platform::TLocalSocket::MaxPathLength());
    EXPECT_TRUE(path.starts_with("/tmp/morvek-agent-")) << path;
    TScopedEnv other("TAVRIX_OBJECTS_DIR", longRoot + "x");
    EXPECT_NE(AgentSocketPath(), path);
}

} // namespace
