// The console's side of a build start when the agent refuses a slot: /NOWAIT ends
// the run with the reason and its code; otherwise the console waits and retries.
#include "ConsoleFixture.h"
#include "records/ServicePackets.h"

namespace {

using testing_console::ConsoleTest;

class TRefusingAgent : public comm::TAgentConnection {
public:
    explicit TRefusingAgent(std::uint8_t result) : result(result) {}
    std::unique_ptr<packets::TPacket> Request(const packets::TPacket&) override {
        auto reply = std::make_unique<records::TStartJobRequestReplyPacket>();
        reply->Result = result;
        return reply;
    }

private:
    std::uint8_t result;
};

using BuildRun = ConsoleTest;

TEST_F(BuildRun, NoWaitEndsWithTheReasonAndItsCode) {
    const struct {
        std::uint8_t Result;
        const char* Reason;
        int Code;
    } cases[] = {
        {1, "Maximum number of concurrent builds reached.", 4},
        {2, "Not enough CPU cores available for new build.", 5},
        {4, "Agent version update is pending.", 6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Reason);
        proxyConnection = [&] { return std::make_unique<TRefusingAgent>(c.Result); };
        auto r = Run({"/nologo", "/nowait", "/exitcodebase=100", "/command=make all"}, true);
        EXPECT_EQ(r.Failure, "");
        EXPECT_EQ(r.Out, std::string(c.Reason) + "\r\n");
        EXPECT_EQ(r.ExitCode, c.Code + 100);
        EXPECT_EQ(r.Link->Posted, std::vector<std::string>{"TCoordBuildActivityInfo"});
    }
}

TEST_F(BuildRun, WaitingPrintsTheReasonOnceAndRetries) {
    proxyConnection = [] { return std::make_unique<TRefusingAgent>(1); };
    auto r = Run({"/nologo", "/command=make all"}, true);
    EXPECT_EQ(r.Failure, "");
    EXPECT_EQ(r.Out, "\r\nMaximum number of concurrent builds reached.\r\nWaiting for a build to "
                     "complete...\r\n");
    EXPECT_TRUE(r.Console->Waiting);
    ASSERT_TRUE(r.Console->RetryClock);
    EXPECT_TRUE(r.Console->RetryClock->Enabled());
    // A retry that is refused again writes nothing more and waits on.
    ::testing::internal::CaptureStdout();
    r.Console->RetryStart();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(r.Console->RetryClock->Enabled());
    EXPECT_TRUE(r.Link->Posted.empty());
}

} // namespace
