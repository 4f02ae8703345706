// The growing shared stream and the cross-process spin lock, across real processes.
#include "packets/GrowingSharedStream.h"
#include "../platform/TestProcess.h"
#include "core/DiagnosticLog.h"
#include "core/Guid.h"
#include "packets/SpinLock.h"
#include "platform/SharedObjects.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>
#include <vector>

using namespace packets;
using namespace testing_support;

namespace {

constexpr std::uint32_t Section = 65536;

core::TGUID ParseGuid(const std::string& text) {
    core::TGUID g;
    EXPECT_TRUE(core::TGUID::TryParse(text, g));
    return g;
}

// Child: opens the stream and writes `count` bytes of value `byte` at `at`.
int WriteAsOpener(const std::vector<std::string>& args) {
    TGrowingSharedStream stream(ParseGuid(args[0]), 0, nullptr, false, SessionOwn);
    const std::vector<std::uint8_t> bytes(std::stoul(args[2]),
                                          static_cast<std::uint8_t>(std::stoul(args[3])));
    stream.Seek(std::stoll(args[1]), TSeekOrigin::soBeginning);
    stream.Write(bytes.data(), bytes.size());
    ReleaseSessionObjects();
    return 0;
}

// Child: takes the lock of a section and dies holding it.
int DieHoldingLock(const std::vector<std::string>& args) {
    auto section = platform::TSharedSection::Open(args[0]);
    TSpinLock lock(section->Data());
    lock.Lock();
    std::_Exit(7);
}

const bool childActions =
    RegisterChildActions({{"write", WriteAsOpener}, {"die-locked", DieHoldingLock}});

class SharedStreamTest : public TObjectsDirFixture {
protected:
    void TearDown() override { ReleaseSessionObjects(); }
};

} // namespace

TEST(SharedObjectNames, SessionsAndSpellings) {
    const core::TGUID g = core::TGUID::Literal("{0A1B2C3D-0000-4000-8000-00000000000F}");
    const std::string base = "Tavrix_{0A1B2C3D-0000-4000-8000-00000000000F}_Channel_Data";
    EXPECT_EQ(SharedObjectName(g, -2, "Channel_Data"), "Global\\" + base);
    EXPECT_EQ(SharedObjectName(g, -2, "Channel_Data", true), "\\BaseNamedObjects\\" + base);
    EXPECT_EQ(SharedObjectName(g, 3, "Channel_Data"), "Session\\3\\" + base);
    EXPECT_EQ(SharedObjectName(g, 3, "Channel_Data", true),
              "\\Sessions\\3\\BaseNamedObjects\\" + base);
    EXPECT_EQ(SharedObjectName(g, -1, "Channel_Data"), base);
    EXPECT_EQ(SharedObjectName(g, -1, "Channel_Data", true),
              platform::OwnSessionObjectDirectory() + base);
}

TEST_F(SharedStreamTest, OpenerGrowsThroughOwnerAndReadsBack) {
    const core::TGUID id = core::NewGuid();
    {
        TGrowingSharedStream owner(id, Section, nullptr, true, SessionOwn);
        EXPECT_EQ(owner.Size(), 0);
        EXPECT_EQ(owner.AllocatedSize(), Section);
        {
            TGrowingSharedStream opener(id, 0, nullptr, false, SessionOwn);
            EXPECT_EQ(opener.Size(), 0);
            EXPECT_EQ(opener.SectionSize(), Section);
            std::uint8_t byte = 0;
            EXPECT_EQ(opener.Read(&byte, 1), 0u);
        }
        // S + 1 bytes from another process: the owner makes section 1.
        const pid_t child =
            SpawnChild("write", {id.ToString(), "0", std::to_string(Section + 1), "171"});
        ASSERT_EQ(WaitChild(child), 0);
        EXPECT_EQ(owner.AllocatedSize(), 2 * Section);
        EXPECT_EQ(owner.Size(), Section + 1);
        std::vector<std::uint8_t> back(Section + 10);
        owner.Seek(0, TSeekOrigin::soBeginning);
        ASSERT_EQ(owner.Read(back.data(), back.size()), Section + 1);
        EXPECT_EQ(back[0], 171);
        EXPECT_EQ(back[Section], 171);
        // At the end nothing more is read.
        EXPECT_EQ(owner.Read(back.data(), 1), 0u);
    }
}

TEST_F(SharedStreamTest, ResetDropsOpenerViewsAndSections) {
    const core::TGUID id = core::NewGuid();
    TGrowingSharedStream owner(id, Section, nullptr, true, SessionOwn);
    TGrowingSharedStream opener(id, 0, nullptr, false, SessionOwn);
    std::vector<std::uint8_t> data(2 * Section + 5, 9);
    opener.Write(data.data(), data.size()); // three sections
    EXPECT_EQ(owner.AllocatedSize(), 3 * Section);
    EXPECT_EQ(opener.CachedViews(), 2u); // never more than two
    const std::uint32_t generation = owner.ResetGeneration();
    owner.Reset();
    EXPECT_EQ(owner.ResetGeneration(), generation + 1);
    EXPECT_EQ(owner.Size(), 0);
    EXPECT_EQ(owner.AllocatedSize(), Section);
    // The opener notices the new generation and maps section 0 afresh.
    const std::uint8_t value = 42;
    opener.Seek(0, TSeekOrigin::soBeginning);
    opener.Write(&value, 1);
    EXPECT_EQ(opener.CachedViews(), 1u);
    std::uint8_t seen = 0;
    owner.Seek(0, TSeekOrigin::soBeginning);
    ASSERT_EQ(owner.Read(&seen, 1), 1u);
    EXPECT_EQ(seen, 42);
}

TEST_F(SharedStreamTest, GrowRequestWithoutOwnerFails) {
    const core::TGUID id = core::NewGuid();
    auto owner = std::make_unique<TGrowingSharedStream>(id, Section, nullptr, true, SessionOwn);
    TGrowingSharedStream opener(id, 0, nullptr, false, SessionOwn);
    owner.reset(); // no grow thread serves the request any more
    TGrowingSharedStream::SetGrowRetries(20);
    std::vector<std::uint8_t> data(Section + 1);
    try {
        opener.Write(data.data(), data.size());
        ADD_FAILURE() << "write succeeded";
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find(
                      "Failed to request reallocation of shared stream (timed out)"),
                  std::string::npos)
            << e.what();
        EXPECT_EQ(std::string(e.what()).rfind("Failed to write to shared stream", 0), 0u);
    }
    TGrowingSharedStream::SetGrowRetries(1000);
}

TEST_F(SharedStreamTest, OpeningAMissingStreamFails) {
    EXPECT_THROW(TGrowingSharedStream(core::NewGuid(), 0, nullptr, false, SessionOwn),
                 std::exception);
}

TEST_F(SharedStreamTest, SpinLockRecursesAndRefusesForeignUnlock) {
    std::int32_t words[2] = {0, 0};
    TSpinLock lock(words);
    EXPECT_EQ(lock.Lock(), TSpinLockResult::Locked);
    EXPECT_EQ(lock.Lock(), TSpinLockResult::Locked);
    EXPECT_EQ(lock.Level(), 2);
    std::thread other([&] {
        EXPECT_EQ(lock.Lock(50), TSpinLockResult::TimedOut);
        // Not the owner: the unlock is refused.
        words[1] = 1;
        EXPECT_THROW(lock.Unlock(), std::exception);
    });
    other.join();
    words[1] = 2;
    lock.Unlock();
    lock.Unlock();
    EXPECT_EQ(lock.Owner(), 0);
    words[0] = -1;
    EXPECT_THROW(lock.Lock(), std::exception);
}

TEST_F(SharedStreamTest, LockOfEndedThreadOrProcessIsTakenOver) {
    std::int32_t words[2] = {0, 0};
    TSpinLock lock(words);
    std::thread holder([&] { lock.Lock(); }); // ends holding it
    holder.join();
    EXPECT_NE(lock.Owner(), 0);
    EXPECT_EQ(lock.Lock(), TSpinLockResult::Abandoned);
    EXPECT_EQ(lock.Level(), 1);
    lock.Unlock();

    auto section = platform::TSharedSection::Create("Global\\LockTestSection", 8);
    ASSERT_EQ(WaitChild(SpawnChild("die-locked", {"Global\\LockTestSection"})), 7);
    TSpinLock shared(section->Data());
    EXPECT_NE(shared.Owner(), 0);
    EXPECT_EQ(shared.Lock(), TSpinLockResult::Abandoned);
    shared.Unlock();
}

// A thread's identity published by several objects (reply channels) stays alive
// until the last of them is gone: one closing must not make the others' receiver
// look dead to other processes.
TEST_F(SharedStreamTest, ThreadIdentityLivesUntilItsLastHolderEnds) {
    const auto deadSeenElsewhere = [](std::uint32_t id) {
        bool dead = false;
        std::thread([&] { dead = IsThreadIdentityDead(id); }).join();
        return dead;
    };
    auto first = std::make_unique<TThreadIdentityHold>();
    auto second = std::make_unique<TThreadIdentityHold>();
    const std::uint32_t id = first->Id();
    EXPECT_EQ(second->Id(), id);
    EXPECT_EQ(CurrentThreadIdentity(), id);
    first.reset();
    EXPECT_FALSE(deadSeenElsewhere(id));
    EXPECT_EQ(CurrentThreadIdentity(), id);
    second.reset();
    EXPECT_TRUE(deadSeenElsewhere(id));
}

TEST_F(SharedStreamTest, LongWaitIsReportedAndItsEndToo) {
    std::int32_t words[2] = {0, 0};
    TSpinLock lock(words);
    TSpinLock::SetDeadlockWarningInterval(50);
    std::atomic<bool> held{false};
    std::thread holder([&] {
        lock.Lock();
        held = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        lock.Unlock();
    });
    while (!held) {
        std::this_thread::yield();
    }
    EXPECT_EQ(lock.Lock(), TSpinLockResult::Locked);
    lock.Unlock();
    holder.join();
    TSpinLock::SetDeadlockWarningInterval(10000);
    std::ifstream in(core::Log().FileName(), std::ios::binary);
    const std::string log((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(log.find("Spinlock - Possible Deadlock"), std::string::npos);
    EXPECT_NE(log.find("Spinlock - Deadlock Avoided\r\nLocked"), std::string::npos);
}
