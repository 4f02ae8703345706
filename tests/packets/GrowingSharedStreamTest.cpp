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
#include <cstring>
#include <filesystem>
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
    return 0;
}

// Child: takes the lock of a section and dies holding it.
int DieHoldingLock(const std::vector<std::string>& args) {
    auto section = platform::TSharedSection::Open(args[0]);
    TSpinLock lock(section->Data());
    lock.Lock();
    std::_Exit(7);
}

const bool childActions = RegisterChildActions(
    {{"write", WriteAsOpener},
     {"die-locked", DieHoldingLock},
     {"own-and-wait", [](const std::vector<std::string>& args) {
          TGrowingSharedStream owner(ParseGuid(args[0]), 65536, nullptr, true, SessionOwn);
          platform::TEvent::Open(args[1])->Set();
          ::pause();
          return 0;
      }}});

class SharedStreamTest : public TObjectsDirFixture {};

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
}

// The lock words may be written by anyone who can open the memory: whatever they
// hold, a locker gets through, without waiting on a lock that nobody holds.
TEST_F(SharedStreamTest, ScribbledLockWordsAreTakenOver) {
    const struct {
        std::int32_t owner;
        std::int32_t level;
    } cases[] = {{-1, 5}, {0, 77}, {0, -3}, {0x7FFFFFF0, 1}, {-12345, 0x7FFFFFFF}};
    for (const auto& c : cases) {
        std::int32_t words[2] = {c.owner, c.level};
        TSpinLock lock(words);
        EXPECT_NE(lock.Lock(), TSpinLockResult::TimedOut) << c.owner << "/" << c.level;
        EXPECT_EQ(lock.Level(), 1) << c.owner << "/" << c.level;
        lock.Unlock();
        EXPECT_EQ(lock.Owner(), 0);
    }
    // A live thread of another process (the first process of the machine) as the
    // owner: a guard waits a bounded time, then seizes the lock.
    std::int32_t words[2] = {1, 1};
    TSpinLock lock(words);
    EXPECT_EQ(lock.Lock(50), TSpinLockResult::TimedOut);
    TSpinLock::SetGuardTimeout(100);
    {
        TSpinLockGuard guard(lock);
        EXPECT_EQ(lock.Owner(), static_cast<std::int32_t>(CurrentThreadIdentity()));
    }
    TSpinLock::SetGuardTimeout(5000);
    EXPECT_EQ(lock.Owner(), 0);
}

TEST_F(SharedStreamTest, IdentityIsTheKernelThreadIdAndDiesWithTheThread) {
    std::uint32_t identity = 0;
    std::uint32_t stamp = 0;
    std::thread other([&] {
        identity = CurrentThreadIdentity();
        stamp = CurrentThreadStartStamp();
    });
    other.join();
    EXPECT_TRUE(IsThreadIdentityDead(identity, stamp));
    EXPECT_FALSE(IsThreadIdentityDead(CurrentThreadIdentity()));
    EXPECT_FALSE(IsThreadIdentityDead(1)) << "a live thread of another process";
    EXPECT_TRUE(IsThreadIdentityDead(1, 0xFFFFFFFFu)) << "an id reused since";
    // No global object backs the identities.
    EXPECT_FALSE(std::filesystem::exists(dir.Path() + "/global"));
}

TEST_F(SharedStreamTest, SizesThatOpenersAskForAreCapped) {
    const core::TGUID id = core::NewGuid();
    TGrowingSharedStream owner(id, Section, nullptr, true, SessionOwn);
    TGrowingSharedStream opener(id, 0, nullptr, false, SessionOwn);
    const std::uint8_t byte = 1;
    opener.Seek(MaxSharedStreamSize, TSeekOrigin::soBeginning);
    try {
        opener.Write(&byte, 1);
        ADD_FAILURE() << "grew beyond the limit";
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find("its limit is"), std::string::npos) << e.what();
    }
    // A request written straight into the control block is refused by the owner
    // and does not keep later requests from being served.
    auto data =
        platform::TSharedSection::Open(SharedObjectName(id, SessionOwn, "SharedStream_Data"));
    const std::int64_t huge = std::int64_t{1} << 40;
    std::memcpy(static_cast<std::uint8_t*>(data->Data()) + 28, &huge, 8);
    auto grow = platform::TEvent::Open(SharedObjectName(id, SessionOwn, "SharedStream_GrowEvent"));
    grow->Set();
    std::vector<std::uint8_t> bytes(Section + 1, 3);
    opener.Seek(0, TSeekOrigin::soBeginning);
    opener.Write(bytes.data(), bytes.size());
    EXPECT_EQ(owner.AllocatedSize(), 2 * Section);
}

TEST_F(SharedStreamTest, OwnerKeepsABoundedNumberOfDescriptors) {
    auto descriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                             std::filesystem::directory_iterator());
    };
    const auto before = descriptors();
    const core::TGUID id = core::NewGuid();
    TGrowingSharedStream owner(id, Section, nullptr, true, SessionOwn);
    std::vector<std::uint8_t> bytes(64 * Section, 7);
    owner.Write(bytes.data(), bytes.size());
    EXPECT_EQ(owner.AllocatedSize(), 64 * Section);
    EXPECT_LT(descriptors() - before, 8) << "one descriptor per section";
    // Openers still reach every section.
    TGrowingSharedStream opener(id, 0, nullptr, false, SessionOwn);
    std::uint8_t seen = 0;
    opener.Seek(63 * Section, TSeekOrigin::soBeginning);
    ASSERT_EQ(opener.Read(&seen, 1), 1u);
    EXPECT_EQ(seen, 7);
}

TEST_F(SharedStreamTest, OpenerRefusesAnInvalidSectionSize) {
    const core::TGUID id = core::NewGuid();
    TGrowingSharedStream owner(id, Section, nullptr, true, SessionOwn);
    auto data =
        platform::TSharedSection::Open(SharedObjectName(id, SessionOwn, "SharedStream_Data"));
    for (const std::uint32_t bad : {1u, 4095u, 3u * 4096u, 0x80000000u}) {
        std::memcpy(static_cast<std::uint8_t*>(data->Data()) + 44, &bad, 4);
        EXPECT_THROW(TGrowingSharedStream(id, 0, nullptr, false, SessionOwn), std::exception)
            << bad;
    }
    owner.Repair();
    EXPECT_NO_THROW(TGrowingSharedStream(id, 0, nullptr, false, SessionOwn));
}

TEST_F(SharedStreamTest, NewOwnerTakesOverFromAnOwnerThatWasKilled) {
    const core::TGUID id = core::NewGuid();
    auto ready = platform::TEvent::Create("OwnerReady", false, false);
    const pid_t child = SpawnChild("own-and-wait", {id.ToString(), "OwnerReady"});
    ASSERT_TRUE(ready->Wait(30000));
    {
        // A client of the old owner still holds its objects.
        TGrowingSharedStream opener(id, 0, nullptr, false, SessionOwn);
        ::kill(child, SIGKILL);
        WaitChild(child);
        TGrowingSharedStream owner(id, Section, nullptr, true, SessionOwn);
        TGrowingSharedStream fresh(id, 0, nullptr, false, SessionOwn);
        const std::uint8_t byte = 9;
        fresh.Write(&byte, 1);
        EXPECT_EQ(owner.Size(), 1);
    }
    platform::RemoveAbandonedObjects();
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
