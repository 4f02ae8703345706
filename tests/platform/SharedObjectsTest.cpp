#include "platform/SharedObjects.h"

#include "TestProcess.h"

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <system_error>
#include <thread>

using namespace platform;
using namespace testing_support;

namespace {

constexpr std::uint32_t HangGuardMs = 30000;

const bool childActions = RegisterChildActions({
    {"event-wait",
     [](const std::vector<std::string>& a) {
         auto event = TEvent::Open(a[0]);
         if (!event) {
             return 2;
         }
         auto ready = TEvent::Open(a[1]);
         if (ready) {
             ready->Set();
         }
         return event->Wait(static_cast<std::uint32_t>(std::stoul(a[2]))) ? 0 : 1;
     }},
    {"event-set",
     [](const std::vector<std::string>& a) {
         auto event = TEvent::Open(a[0]);
         if (!event) {
             return 2;
         }
         event->Set();
         return 0;
     }},
    {"mutex-hold",
     [](const std::vector<std::string>& a) {
         auto mutex = TMutex::Open(a[0]);
         auto ready = TEvent::Open(a[1]);
         if (!mutex || !ready || mutex->Wait(InfiniteTimeout) != TMutexWaitResult::Acquired) {
             return 2;
         }
         ready->Set();
         ::pause(); // until killed
         return 0;
     }},
    {"section-race",
     [](const std::vector<std::string>& a) {
         auto go = TEvent::Open(a[0]);
         auto release = TEvent::Open(a[1]);
         auto created = TEvent::Open(a[2]);
         if (!go || !release || !created || !go->Wait(HangGuardMs)) {
             return 2;
         }
         bool existed = false;
         auto section = TSharedSection::Create("Global\\RaceSection", 64, &existed);
         static_cast<std::atomic<std::uint32_t>*>(section->Data())->fetch_add(1);
         created->Set();
         if (!release->Wait(HangGuardMs)) {
             return 2;
         }
         return existed ? 1 : 0;
     }},
});

class SharedObjectsTest : public TObjectsDirFixture {};

TEST(ObjectNames, MapWindowsSpellingsToNamespaceFolders) {
    TTempDir dir("/dev/shm");
    TScopedEnv env("TAVRIX_OBJECTS_DIR", dir.Path());
    const std::string root = dir.Path();
    const int own = OwnSessionNumber();
    const std::string ownDir = root + "/u" + std::to_string(own);
    const struct {
        const char* name;
        std::string path;
    } cases[] = {
        {"Global\\A", root + "/global/A"},
        {"global\\A", root + "/global/A"},
        {"\\BaseNamedObjects\\A", root + "/global/A"},
        {"Session\\0\\A", root + "/u0/A"},
        {"Session\\7\\A", root + "/u7/A"},
        {"\\Sessions\\7\\BaseNamedObjects\\A", root + "/u7/A"},
        {"Local\\A", ownDir + "/A"},
        {"A", ownDir + "/A"},
        {"Tavrix_{4AA16932-BBE4-4957-96E3-BA48B291E25A}_x", ownDir +
                                                                "/Tavrix_{4AA16932-BBE4-4957-96E3-"
                                                                "BA48B291E25A}_x"},
        {"a/b", ownDir + "/a%2Fb"},
        {".hidden", ownDir + "/%2Ehidden"},
        {"a.b", ownDir + "/a.b"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ObjectFilePath(c.name), c.path) << c.name;
    }
    for (const char* bad : {"", "Global\\", "Session\\x\\A", "Session\\7A", "a\\b",
                            "\\Sessions\\7\\A", "\\Device\\A"}) {
        EXPECT_THROW(ObjectFilePath(bad), std::system_error) << bad;
    }
    EXPECT_EQ(OwnSessionObjectDirectory(),
              "\\Sessions\\" + std::to_string(own) + "\\BaseNamedObjects\\");
}

TEST_F(SharedObjectsTest, SectionIsSharedByNameAndRemovedWithItsLastHolder) {
    bool existed = true;
    auto first = TSharedSection::Create("Global\\Sec", 100, &existed);
    EXPECT_FALSE(existed);
    EXPECT_EQ(first->Size(), 100u);
    auto second = TSharedSection::Create("Global\\Sec", 5000, &existed);
    EXPECT_TRUE(existed);
    EXPECT_EQ(second->Size(), 100u) << "an existing section keeps its size";
    static_cast<char*>(first->Data())[42] = 'x';
    EXPECT_EQ(static_cast<char*>(second->Data())[42], 'x');

    const std::string file = ObjectFilePath("Global\\Sec");
    first.reset();
    EXPECT_TRUE(std::filesystem::exists(file)) << "still held by the second handle";
    auto opened = TSharedSection::Open("\\BaseNamedObjects\\Sec");
    ASSERT_NE(opened, nullptr);
    second.reset();
    opened.reset();
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(TSharedSection::Open("Global\\Sec"), nullptr);
}

TEST_F(SharedObjectsTest, FileLeftByACrashedProcessIsReplaced) {
    // A file nobody holds, as a crashed holder leaves it.
    auto section = TSharedSection::Create("Global\\Left", 16);
    const std::string file = ObjectFilePath("Global\\Left");
    section.reset();
    {
        std::ofstream out(file);
        out << "stale bytes of another size";
    }
    EXPECT_EQ(TSharedSection::Open("Global\\Left"), nullptr);
    {
        std::ofstream out(file);
        out << "stale";
    }
    bool existed = true;
    auto fresh = TEvent::Create("Global\\Left", true, false, &existed);
    EXPECT_FALSE(existed);
    EXPECT_FALSE(fresh->Wait(0));
}

TEST_F(SharedObjectsTest, ObjectOfAnotherTypeIsRefused) {
    auto section = TSharedSection::Create("Global\\Typed", 8);
    EXPECT_THROW(TMutex::Create("Global\\Typed", false), std::system_error);
    auto event = TEvent::Create("Global\\Ev", false, false);
    EXPECT_THROW(TMutex::Open("Global\\Ev"), std::system_error);
}

TEST_F(SharedObjectsTest, EventSetByAnotherProcessWakesTheWaiter) {
    auto event = TEvent::Create("Global\\Wake", false, false);
    auto ready = TEvent::Create("Global\\Ready", true, false);
    const pid_t child = SpawnChild("event-wait", {"Global\\Wake", "Global\\Ready", "30000"});
    ASSERT_TRUE(ready->Wait(HangGuardMs));
    event->Set();
    EXPECT_EQ(WaitChild(child), 0);

    // And the other way round.
    const pid_t setter = SpawnChild("event-set", {"Global\\Wake"});
    EXPECT_TRUE(event->Wait(HangGuardMs));
    EXPECT_EQ(WaitChild(setter), 0);
}

TEST_F(SharedObjectsTest, AutoResetEventReleasesExactlyOneOfTwoWaitingProcesses) {
    auto event = TEvent::Create("Global\\One", false, false);
    auto readyA = TEvent::Create("Global\\ReadyA", false, false);
    auto readyB = TEvent::Create("Global\\ReadyB", false, false);
    const pid_t a = SpawnChild("event-wait", {"Global\\One", "Global\\ReadyA", "30000"});
    const pid_t b = SpawnChild("event-wait", {"Global\\One", "Global\\ReadyB", "30000"});
    ASSERT_TRUE(readyA->Wait(HangGuardMs));
    ASSERT_TRUE(readyB->Wait(HangGuardMs));
    event->Set();
    int status = 0;
    const pid_t first = ::waitpid(-1, &status, 0);
    ASSERT_TRUE(first == a || first == b);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // Had the one set released both, the second set would find no waiter and stay.
    event->Set();
    EXPECT_EQ(WaitChild(first == a ? b : a), 0);
    EXPECT_FALSE(event->Wait(0)) << "each set was consumed by one waiter";
}

TEST_F(SharedObjectsTest, ManualResetEventStaysSignalledUntilReset) {
    auto event = TEvent::Create("Local\\Manual", true, true);
    auto other = TEvent::Open("Local\\Manual");
    ASSERT_NE(other, nullptr);
    EXPECT_TRUE(other->IsManualReset());
    EXPECT_TRUE(event->Wait(0));
    EXPECT_TRUE(other->Wait(0));
    other->Reset();
    EXPECT_FALSE(event->Wait(20));

    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] { woken += event->Wait(HangGuardMs) ? 1 : 0; });
    }
    other->Set();
    for (auto& t : waiters) {
        t.join();
    }
    EXPECT_EQ(woken.load(), 3);
}

TEST_F(SharedObjectsTest, WaitAnyReportsTheSignalledEvent) {
    auto local = TEvent::CreateLocal(false, false);
    auto named = TEvent::Create("Global\\Any", false, false);
    TEvent* both[] = {local.get(), named.get()};
    EXPECT_EQ(TEvent::WaitAny(both, 10), -1);

    std::thread setter([&] { named->Set(); });
    EXPECT_EQ(TEvent::WaitAny(both, HangGuardMs), 1);
    setter.join();

    local->Set();
    named->Set();
    EXPECT_EQ(TEvent::WaitAny(both, 0), 0) << "earlier events win";
    EXPECT_EQ(TEvent::WaitAny(both, 0), 1);
    EXPECT_EQ(TEvent::WaitAny(both, 0), -1);

    // SetAndWait: the answer to the set event is never missed.
    auto request = TEvent::Create("Global\\Req", false, false);
    auto reply = TEvent::Create("Global\\Rep", false, false);
    std::thread server([&] {
        if (request->Wait(HangGuardMs)) {
            reply->Set();
        }
    });
    EXPECT_TRUE(reply->SetAndWait(*request, HangGuardMs));
    server.join();
}

TEST_F(SharedObjectsTest, MutexOfAKilledProcessIsAbandoned) {
    auto mutex = TMutex::Create("Global\\Held", false);
    auto ready = TEvent::Create("Global\\HeldReady", false, false);
    EXPECT_EQ(mutex->QueryState(), TMutexState::Free);
    const pid_t child = SpawnChild("mutex-hold", {"Global\\Held", "Global\\HeldReady"});
    ASSERT_TRUE(ready->Wait(HangGuardMs));
    EXPECT_EQ(mutex->QueryState(), TMutexState::Owned);
    EXPECT_EQ(mutex->Wait(0), TMutexWaitResult::TimedOut);
    EXPECT_EQ(mutex->OwnerThreadId(), static_cast<std::uint32_t>(child));

    ::kill(child, SIGKILL);
    EXPECT_EQ(WaitChild(child), 128 + SIGKILL);
    EXPECT_EQ(mutex->QueryState(), TMutexState::Abandoned);
    EXPECT_EQ(mutex->Wait(HangGuardMs), TMutexWaitResult::Abandoned);
    EXPECT_EQ(mutex->QueryState(), TMutexState::Owned);
    mutex->Release();
    EXPECT_EQ(mutex->QueryState(), TMutexState::Free);
    EXPECT_EQ(mutex->Wait(0), TMutexWaitResult::Acquired) << "usable again";
    mutex->Release();
}

TEST_F(SharedObjectsTest, MutexOfAnEndedThreadIsAbandonedToTheWaiter) {
    auto mutex = TMutex::Create("Global\\ThreadHeld", false);
    auto threadHandle = TMutex::Open("Global\\ThreadHeld");
    std::thread holder([&] { EXPECT_EQ(threadHandle->Wait(0), TMutexWaitResult::Acquired); });
    holder.join(); // ends holding it
    EXPECT_EQ(mutex->QueryState(), TMutexState::Abandoned);
    EXPECT_EQ(mutex->Wait(HangGuardMs), TMutexWaitResult::Abandoned);
    mutex->Release();
}

TEST_F(SharedObjectsTest, MutexIsRecursiveAndOnlyItsOwnerReleasesIt) {
    bool existed = true;
    auto mutex = TMutex::Create("Local\\Rec", true, &existed);
    EXPECT_FALSE(existed);
    EXPECT_EQ(mutex->QueryState(), TMutexState::Owned);
    EXPECT_EQ(mutex->Wait(0), TMutexWaitResult::Acquired);
    auto again = TMutex::Create("Local\\Rec", true, &existed);
    EXPECT_TRUE(existed);

    std::thread other([&] {
        EXPECT_EQ(again->Wait(0), TMutexWaitResult::TimedOut);
        EXPECT_THROW(again->Release(), std::system_error);
    });
    other.join();
    mutex->Release();
    EXPECT_EQ(mutex->QueryState(), TMutexState::Owned) << "held once more";
    mutex->Release();
    EXPECT_EQ(mutex->QueryState(), TMutexState::Free);
}

TEST_F(SharedObjectsTest, ConcurrentCreatorsShareOneObject) {
    constexpr int children = 4;
    auto go = TEvent::Create("Global\\Go", true, false);
    auto release = TEvent::Create("Global\\Release", true, false);
    // One event per child: two sets of one auto-reset event may count as one.
    std::vector<std::unique_ptr<TEvent>> created;
    std::vector<pid_t> pids;
    for (int i = 0; i < children; ++i) {
        const std::string name = "Global\\Created" + std::to_string(i);
        created.push_back(TEvent::Create(name, false, false));
        pids.push_back(SpawnChild("section-race", {"Global\\Go", "Global\\Release", name}));
    }
    go->Set();
    for (int i = 0; i < children; ++i) {
        ASSERT_TRUE(created[i]->Wait(HangGuardMs));
    }
    auto section = TSharedSection::Open("Global\\RaceSection");
    ASSERT_NE(section, nullptr);
    EXPECT_EQ(static_cast<std::atomic<std::uint32_t>*>(section->Data())->load(),
              static_cast<std::uint32_t>(children));
    release->Set();
    int creators = 0;
    for (const pid_t pid : pids) {
        const int code = WaitChild(pid);
        EXPECT_TRUE(code == 0 || code == 1) << code;
        creators += code == 0 ? 1 : 0;
    }
    EXPECT_EQ(creators, 1);
}

} // namespace
