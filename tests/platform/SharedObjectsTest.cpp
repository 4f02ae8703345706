#include "platform/SharedObjects.h"

#include "TestProcess.h"

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>

using namespace platform;
using namespace testing_support;

namespace {

constexpr std::uint32_t HangGuardMs = 30000;
// The unprivileged second user of the tests that need one (they run as root).
constexpr uid_t Nobody = 65534;

bool BecomeNobody() {
    return ::setgroups(0, nullptr) == 0 && ::setresgid(Nobody, Nobody, Nobody) == 0 &&
           ::setresuid(Nobody, Nobody, Nobody) == 0;
}

// The error code of `action`, 0 when it raised none.
int ErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::system_error& e) {
        return e.code().value();
    }
    return 0;
}

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
    {"create-and-wait",
     [](const std::vector<std::string>& a) {
         // Creates a section and an event, tells the test, and waits to be killed.
         auto section = TSharedSection::Create(a[0], 64);
         auto event = TEvent::Create(a[1], true, false);
         auto ready = TEvent::Open(a[2]);
         if (!ready) {
             return 2;
         }
         ready->Set();
         ::pause();
         return 0;
     }},
    {"attack-as-nobody",
     [](const std::vector<std::string>& a) {
         // a[0]: a private object of the superuser; a[1]: a global name to squat.
         if (!BecomeNobody()) {
             return 3;
         }
         if (ErrorOf([&] { TSharedSection::Open(a[0]); }) == 0) {
             return 4; // read the superuser's private object
         }
         // A squatted global name, held until the test ends this process.
         auto squat = TSharedSection::Create(a[1], 64);
         auto ready = TEvent::Open(a[2]);
         if (!ready) {
             return 5;
         }
         ready->Set();
         ::pause();
         return 0;
     }},
    {"wait-read-only-as-nobody",
     [](const std::vector<std::string>& a) {
         if (!BecomeNobody()) {
             return 3;
         }
         auto event = TEvent::Open(a[0]);
         if (!event) {
             return 2;
         }
         if (ErrorOf([&] { event->Set(); }) != EACCES ||
             ErrorOf([&] { event->Reset(); }) != EACCES) {
             return 4; // changed an event it may only wait for
         }
         return event->Wait(HangGuardMs) ? 0 : 1;
     }},
    {"query-read-only-mutex-as-nobody",
     [](const std::vector<std::string>& a) {
         if (!BecomeNobody()) {
             return 3;
         }
         auto mutex = TMutex::Open(a[0]);
         if (!mutex) {
             return 2;
         }
         if (ErrorOf([&] { mutex->Wait(0); }) != EACCES ||
             ErrorOf([&] { mutex->Release(); }) == 0) {
             return 4; // took or released a mutex it may only query
         }
         return mutex->QueryState() == TMutexState::Owned ? 0 : 1;
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

TEST_F(SharedObjectsTest, OwnerOfAnObjectIsReported) {
    auto section = TSharedSection::Create("Global\\Owned", 8);
    auto event = TEvent::Create("Local\\OwnedEvent", true, false);
    auto mutex = TMutex::Create("OwnedMutex", false);
    EXPECT_EQ(section->OwnerUserId(), CurrentUserId());
    EXPECT_EQ(event->OwnerUserId(), CurrentUserId());
    EXPECT_EQ(mutex->OwnerUserId(), CurrentUserId());
    EXPECT_EQ(TSharedSection::Open("Global\\Owned")->OwnerUserId(), CurrentUserId());
}

TEST_F(SharedObjectsTest, ObjectFilesArePrivateForEveryUserAndCreatedWithoutAFolderLock) {
    // The superuser too keeps its objects in its own folder.
    auto own = TSharedSection::Create("Mine", 8);
    const std::string file = ObjectFilePath("Mine");
    EXPECT_EQ(file, dir.Path() + "/u" + std::to_string(::getuid()) + "/Mine");
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    ASSERT_EQ(::stat((dir.Path() + "/u" + std::to_string(::getuid())).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    auto global = TSharedSection::Create("Global\\Shared", 8);
    ASSERT_EQ(::stat(ObjectFilePath("Global\\Shared").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666u);
    EXPECT_FALSE(std::filesystem::exists(dir.Path() + "/global/.lock"));

    // Whoever holds an exclusive lock on the global folder or its objects gates
    // nothing: creating goes on, and opening a locked object fails instead of waiting.
    const int folder = ::open((dir.Path() + "/global").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(folder, 0);
    ASSERT_EQ(::flock(folder, LOCK_EX), 0);
    const int held = ::open(ObjectFilePath("Global\\Shared").c_str(), O_RDWR);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), -1) << "the holders' shared locks";
    auto another = TSharedSection::Create("Global\\Another", 8);
    EXPECT_NE(another, nullptr);
    ::close(held);
    ::close(folder);
}

TEST_F(SharedObjectsTest, FoldersOfTheWrongOwnerOrModeAreRefused) {
    const std::string own = dir.Path() + "/u" + std::to_string(::getuid());
    const struct {
        const char* what;
        std::function<void()> prepare;
        const char* name;
        bool needsRoot;
    } cases[] = {
        {"a private folder open to everyone",
         [&] {
             ::mkdir(own.c_str(), 0777);
             ::chmod(own.c_str(), 0777);
         },
         "X", false},
        {"a global folder without the sticky bit",
         [&] {
             ::mkdir((dir.Path() + "/global").c_str(), 0777);
             ::chmod((dir.Path() + "/global").c_str(), 0777);
         },
         "Global\\X", false},
        {"a private folder that another user made",
         [&] {
             ::mkdir(own.c_str(), 0700);
             ASSERT_EQ(::chown(own.c_str(), Nobody, Nobody), 0);
         },
         "X", true},
        {"a global folder of an untrusted user",
         [&] {
             ::mkdir((dir.Path() + "/global").c_str(), 01777);
             ASSERT_EQ(::chown((dir.Path() + "/global").c_str(), Nobody, Nobody), 0);
         },
         "Global\\X", true},
    };
    for (const auto& c : cases) {
        if (c.needsRoot && ::geteuid() != 0) {
            std::printf("skipped (needs the superuser to act as a second user): %s\n", c.what);
            continue;
        }
        c.prepare();
        EXPECT_EQ(ErrorOf([&] { TSharedSection::Create(c.name, 8); }), EPERM) << c.what;
        EXPECT_EQ(ErrorOf([&] { TEvent::Open(c.name); }), EPERM) << c.what;
        std::filesystem::remove_all(own);
        std::filesystem::remove_all(dir.Path() + "/global");
    }
}

TEST_F(SharedObjectsTest, SquattedNamesAreRefusedWithoutHangingOrFollowingThem) {
    auto first = TSharedSection::Create("Global\\First", 8); // makes the folder
    const std::string target = dir.Path() + "/target";
    {
        std::ofstream out(target);
        out << "keep";
    }
    ASSERT_EQ(::symlink(target.c_str(), ObjectFilePath("Global\\Link").c_str()), 0);
    ASSERT_EQ(::mkfifo(ObjectFilePath("Global\\Fifo").c_str(), 0666), 0);
    ASSERT_EQ(::mkdir(ObjectFilePath("Global\\Dir").c_str(), 0777), 0);
    for (const char* name : {"Global\\Link", "Global\\Fifo", "Global\\Dir"}) {
        EXPECT_EQ(ErrorOf([&] { TSharedSection::Open(name); }), EPERM) << name;
        EXPECT_EQ(ErrorOf([&] { TEvent::Create(name, true, false); }), EPERM) << name;
    }
    std::ifstream in(target);
    std::string text;
    in >> text;
    EXPECT_EQ(text, "keep");
    std::filesystem::remove(ObjectFilePath("Global\\Link"));
    std::filesystem::remove(ObjectFilePath("Global\\Fifo"));
    std::filesystem::remove(ObjectFilePath("Global\\Dir"));
    std::filesystem::remove(target);
}

TEST_F(SharedObjectsTest, ObjectsOfAnotherUserAreRefusedUnlessExpectedOrTakenOver) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs the superuser to act as a second user (nobody)";
    }
    ::chmod(dir.Path().c_str(), 0755);
    auto secret = TSharedSection::Create("Secret", 8);
    auto ready = TEvent::Create("Global\\SquatReady", true, false);
    const pid_t child =
        SpawnChild("attack-as-nobody", {"Session\\" + std::to_string(::getuid()) + "\\Secret",
                                        "Global\\Squatted", "Global\\SquatReady"});
    if (!ready->Wait(HangGuardMs)) {
        ::kill(child, SIGKILL);
        FAIL() << "the second user read a private object or could not run: " << WaitChild(child);
    }

    // The global name another user took: refused with a clear error...
    try {
        TSharedSection::Open("Global\\Squatted");
        ADD_FAILURE() << "accepted an object of another user";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), EPERM);
        EXPECT_NE(std::string(e.what()).find("owned by user 65534"), std::string::npos) << e.what();
    }
    // ...unless that owner is the expected one...
    auto expected = TSharedSection::Open("Global\\Squatted", TObjectOptions{Nobody, false});
    ASSERT_NE(expected, nullptr);
    EXPECT_EQ(expected->OwnerUserId(), Nobody);
    expected.reset();
    // ...and a creator that owns the name takes it back.
    bool existed = true;
    auto mine =
        TSharedSection::Create("Global\\Squatted", 8, &existed, TObjectOptions{std::nullopt, true});
    EXPECT_FALSE(existed);
    EXPECT_EQ(mine->OwnerUserId(), 0u);
    ::kill(child, SIGKILL);
    WaitChild(child);
}

TEST_F(SharedObjectsTest, ObjectsOfAKilledCreatorAreRemovedOnceNobodyHoldsThem) {
    auto ready = TEvent::Create("Ready", false, false);
    const pid_t child = SpawnChild("create-and-wait", {"Orphan", "Global\\OrphanEvent", "Ready"});
    ASSERT_TRUE(ready->Wait(HangGuardMs));
    auto held = TEvent::Open("Global\\OrphanEvent");
    ASSERT_NE(held, nullptr);
    ::kill(child, SIGKILL);
    EXPECT_EQ(WaitChild(child), 128 + SIGKILL);
    const std::string orphan = ObjectFilePath("Orphan");
    const std::string heldFile = ObjectFilePath("Global\\OrphanEvent");
    EXPECT_TRUE(std::filesystem::exists(orphan));

    // An owner that keeps no descriptor stays while it runs.
    auto kept = TSharedSection::Create("Kept", 16);
    kept->ReleaseDescriptor();
    EXPECT_EQ(RemoveAbandonedObjects(), 1u);
    EXPECT_FALSE(std::filesystem::exists(orphan));
    EXPECT_TRUE(std::filesystem::exists(heldFile)) << "still held by this process";
    EXPECT_TRUE(std::filesystem::exists(ObjectFilePath("Kept")));
    ASSERT_NE(TSharedSection::Open("Kept"), nullptr);
    held.reset();
    EXPECT_FALSE(std::filesystem::exists(heldFile)) << "its last holder removed it";
}

TEST_F(SharedObjectsTest, CreatorThatEndedLeavesItsNameToATakeOver) {
    auto ready = TEvent::Create("Ready", false, false);
    const pid_t child = SpawnChild("create-and-wait", {"Taken", "TakenEvent", "Ready"});
    ASSERT_TRUE(ready->Wait(HangGuardMs));
    auto oldHolder = TSharedSection::Open("Taken");
    ASSERT_NE(oldHolder, nullptr);
    static_cast<char*>(oldHolder->Data())[0] = 'o';
    bool existed = false;
    auto whileAlive =
        TSharedSection::Create("Taken", 64, &existed, TObjectOptions{std::nullopt, true});
    EXPECT_TRUE(existed) << "a running creator keeps its object";
    whileAlive.reset();
    ::kill(child, SIGKILL);
    WaitChild(child);
    auto fresh = TSharedSection::Create("Taken", 64, &existed, TObjectOptions{std::nullopt, true});
    EXPECT_FALSE(existed) << "the ended creator's object, held by others, is replaced";
    EXPECT_EQ(static_cast<char*>(fresh->Data())[0], 0);
    EXPECT_EQ(static_cast<char*>(oldHolder->Data())[0], 'o') << "old holders keep theirs";
    EXPECT_FALSE(oldHolder->Intact());
    EXPECT_TRUE(fresh->Intact());
    RemoveAbandonedObjects(); // the killed creator's event
}

TEST_F(SharedObjectsTest, EventReadOnlyForOthersIsWaitedForButNotSetByThem) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs the superuser to act as a second user (nobody)";
    }
    ::chmod(dir.Path().c_str(), 0755);
    auto stop = TEvent::Create("Global\\StopOnlyByOwner", true, false, nullptr,
                               TObjectOptions{std::nullopt, false, true});
    struct stat st {};
    ASSERT_EQ(::stat(ObjectFilePath("Global\\StopOnlyByOwner").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    const pid_t child = SpawnChild("wait-read-only-as-nobody", {"Global\\StopOnlyByOwner"});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stop->Set();
    EXPECT_EQ(WaitChild(child), 0);
}

TEST_F(SharedObjectsTest, MutexReadOnlyForOthersIsQueriedButNotTakenByThem) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs the superuser to act as a second user (nobody)";
    }
    ::chmod(dir.Path().c_str(), 0755);
    auto held = TMutex::Create("Global\\HeldByOwner", true, nullptr,
                               TObjectOptions{std::nullopt, false, true});
    struct stat st {};
    ASSERT_EQ(::stat(ObjectFilePath("Global\\HeldByOwner").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(WaitChild(SpawnChild("query-read-only-mutex-as-nobody", {"Global\\HeldByOwner"})), 0);
    EXPECT_EQ(held->QueryState(), TMutexState::Owned);
    held->Release();
}

TEST_F(SharedObjectsTest, EventHandedToAnotherUserIsThatUsersAlone) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only the superuser may hand an object to another user";
    }
    auto done = TEvent::Create("Global\\DoneByNobody", true, false, nullptr,
                               TObjectOptions{std::nullopt, false, true});
    done->GiveTo(Nobody);
    EXPECT_EQ(done->OwnerUserId(), Nobody);
    struct stat st {};
    ASSERT_EQ(::stat(ObjectFilePath("Global\\DoneByNobody").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, Nobody);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    // The new owner is the expected one for those who open it so.
    EXPECT_NE(TEvent::Open("Global\\DoneByNobody", TObjectOptions{Nobody, false}), nullptr);
    done->Set();
    EXPECT_TRUE(done->Wait(0));
}

TEST_F(SharedObjectsTest, ObjectsAnotherUserCutsShortNeitherCrashNorHangTheReader) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only the superuser may hand an object to another user";
    }
    // As the agent sees a build's done event and mutex: files of the build's user, who
    // may truncate them at any time.
    ::chmod(dir.Path().c_str(), 0755);
    auto done = TEvent::Create("Global\\CutDone", true, false, nullptr,
                               TObjectOptions{std::nullopt, false, true});
    done->GiveTo(Nobody);
    const std::string mutexFile = ObjectFilePath("Global\\CutMutex");
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        if (::setresgid(Nobody, Nobody, Nobody) != 0 || ::setresuid(Nobody, Nobody, Nobody) != 0) {
            ::_exit(1);
        }
        try {
            auto held = TMutex::Create("Global\\CutMutex", true);
            ::pause();
        } catch (...) {
        }
        ::_exit(0);
    }
    for (int i = 0; i < 200 && !std::filesystem::exists(mutexFile); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    auto doneSeen = TEvent::Open("Global\\CutDone", TObjectOptions{Nobody, false});
    auto mutexSeen = TMutex::Open("Global\\CutMutex", TObjectOptions{Nobody, false});
    ASSERT_TRUE(doneSeen);
    ASSERT_TRUE(mutexSeen);
    EXPECT_FALSE(doneSeen->Wait(0));
    EXPECT_EQ(mutexSeen->QueryState(), TMutexState::Owned);
    for (const std::string& file : {ObjectFilePath("Global\\CutDone"), mutexFile}) {
        ASSERT_EQ(::truncate(file.c_str(), 100), 0) << file;
    }
    // A mapped read would raise SIGBUS here.
    EXPECT_TRUE(doneSeen->Wait(0));
    EXPECT_EQ(mutexSeen->QueryState(), TMutexState::Abandoned);
    doneSeen.reset();
    mutexSeen.reset();
    done.reset();
    ::kill(holder, SIGKILL);
    WaitChild(holder);
    std::filesystem::remove(mutexFile);
}

} // namespace
