#include "core/NotifyQueue.h"

#include "../platform/TestProcess.h"
#include "core/DiagnosticLog.h"
#include "core/Errors.h"
#include "platform/SharedObjects.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <thread>

using namespace core;
using namespace testing_support;

namespace {

const bool childActions = RegisterChildActions({
    {"notify-set",
     [](const std::vector<std::string>& a) {
         auto event = platform::TEvent::Open(a[0]);
         if (!event) {
             return 2;
         }
         event->Set();
         return 0;
     }},
});

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class NotifyQueueTest : public TObjectsDirFixture {
protected:
    NotifyQueueTest() : log(files.Path() + "/test.log", Settings()) {
        queue.Attach();
        queue.SetLog(&log);
    }
    static TLogSettings Settings() {
        TLogSettings settings;
        settings.Level = 1;
        return settings;
    }
    // Stops the loop from another thread if a test would otherwise hang.
    std::thread Watchdog() {
        return std::thread([this] {
            if (!done->Wait(30000)) {
                queue.Post({this, "Watchdog"}, "Stop", [this] { queue.Stop(); });
            }
        });
    }
    std::string LogText() const { return ReadFile(log.FileName()); }

    TTempDir files;
    TDiagnosticLog log;
    TNotifyQueue queue;
    std::unique_ptr<platform::TEvent> done = platform::TEvent::CreateLocal(true, false);
};

TEST_F(NotifyQueueTest, UniquePostsOfTheSameMethodCollapse) {
    std::vector<std::string> calls;
    int target = 0;
    int other = 0;
    auto post = [&](const void* t, const char* method, bool unique) {
        queue.Post(
            {t, "TTest"}, method, [&calls, method] { calls.push_back(method); },
            TNotifyPriority::Normal, unique);
    };
    post(&target, "Tick", true);
    post(&target, "Tick", true);
    post(&target, "Tock", true);
    post(&other, "Tick", true);
    post(&target, "Tick", false);
    queue.ProcessQueue();
    EXPECT_EQ(calls, (std::vector<std::string>{"Tick", "Tock", "Tick", "Tick"}));
    calls.clear();
    post(&target, "Tick", true);
    queue.ProcessQueue();
    EXPECT_EQ(calls.size(), 1u) << "a unique post is possible again once the first ran";
}

TEST_F(NotifyQueueTest, HigherPrioritiesRunFirstAndLatePostsWaitForTheNextRound) {
    std::vector<std::string> order;
    auto note = [&](std::string name) { return [&order, name] { order.push_back(name); }; };
    queue.Post({this, "T"}, "a", note("low"), TNotifyPriority::Low);
    queue.Post({this, "T"}, "b", note("normal"), TNotifyPriority::Normal);
    queue.Post({this, "T"}, "c", note("high"), TNotifyPriority::High);
    queue.ProcessQueue();
    EXPECT_EQ(order, (std::vector<std::string>{"high", "normal", "low"}));

    order.clear();
    queue.Post(
        {this, "T"}, "L1",
        [&] {
            order.push_back("L1");
            queue.Post({this, "T"}, "H", note("H"), TNotifyPriority::High);
            queue.Post({this, "T"}, "L3", note("L3"), TNotifyPriority::Low);
        },
        TNotifyPriority::Low);
    queue.Post({this, "T"}, "L2", note("L2"), TNotifyPriority::Low);
    queue.ProcessQueue();
    EXPECT_EQ(order, (std::vector<std::string>{"L1", "L2"}));
    queue.ProcessQueue();
    EXPECT_EQ(order, (std::vector<std::string>{"L1", "L2", "H", "L3"}));
}

TEST_F(NotifyQueueTest, RemoveDropsPendingNotificationsOfItsTarget) {
    int a = 0;
    int b = 0;
    std::vector<int> ran;
    queue.Post({&a, "A"}, "m", [&] {
        ran.push_back(1);
        queue.Remove(&b); // also from the batch being run
    });
    queue.Post({&b, "B"}, "m", [&] { ran.push_back(2); });
    queue.Post({&a, "A"}, "n", [&] { ran.push_back(3); });
    queue.ProcessQueue();
    EXPECT_EQ(ran, (std::vector<int>{1, 3}));
}

TEST_F(NotifyQueueTest, LateClockKeepsItsBeat) {
    std::uint64_t now = 0;
    queue.SetTickSource([&] { return now; });
    std::vector<std::uint64_t> calls;
    TClock clock(4000, true, [&] {
        calls.push_back(now);
        if (calls.size() == 1) {
            now += 9000; // the first call takes nine seconds
        }
    });
    EXPECT_EQ(queue.ProcessClocks(), 1000u);
    now = 3999;
    EXPECT_EQ(queue.ProcessClocks(), 1u);
    EXPECT_TRUE(calls.empty());
    now = 4000;
    queue.ProcessClocks(); // runs until 13000
    for (now = 13000; now < 16000; now += 500) {
        queue.ProcessClocks();
    }
    EXPECT_EQ(calls, (std::vector<std::uint64_t>{4000}));
    now = 16000;
    queue.ProcessClocks();
    EXPECT_EQ(calls, (std::vector<std::uint64_t>{4000, 16000}));

    clock.SetEnabled(false);
    now = 40000;
    queue.ProcessClocks();
    EXPECT_EQ(calls.size(), 2u);
    clock.Restart();
    now = 43999;
    queue.ProcessClocks();
    EXPECT_EQ(calls.size(), 2u);
    now = 44000;
    queue.ProcessClocks();
    EXPECT_EQ(calls.size(), 3u);
    EXPECT_EQ(TClock::Count(), 1);
}

TEST_F(NotifyQueueTest, QueueOperationsBelongToTheAttachedThread) {
    int target = 0;
    const struct {
        const char* operation;
        std::function<void(TNotifyQueue&)> call;
    } cases[] = {
        {"Clear queue", [&](TNotifyQueue& q) { q.Remove(&target); }},
        {"Process queue", [](TNotifyQueue& q) { q.ProcessQueue(); }},
        {"Process external queue", [](TNotifyQueue& q) { q.ProcessExternalQueue(); }},
        {"Start loop", [](TNotifyQueue& q) { q.Run(); }},
        {"Shut down loop", [](TNotifyQueue& q) { q.Stop(); }},
        {"Clear external queue", [&](TNotifyQueue& q) { q.RemoveExternalHandlers(&target); }},
        {"Add external notification", [&](TNotifyQueue& q) { q.AddExternalHandler({}, [] {}); }},
        {"Wait for external event", [](TNotifyQueue& q) { q.WaitForExternalEvent(0); }},
        {"Add timer",
         [&](TNotifyQueue& q) {
             TClock clock(
                 10, true, [] {}, &q);
         }},
    };
    TNotifyQueue detached;
    for (const auto& c : cases) {
        std::thread other([&] {
            try {
                c.call(queue);
                ADD_FAILURE() << c.operation;
            } catch (const EGeneralError& e) {
                EXPECT_EQ(std::string(e.what()),
                          std::string("Notify queue operation can be performed from main thread "
                                      "only: ") +
                              c.operation);
            }
        });
        other.join();
        try {
            c.call(detached);
            ADD_FAILURE() << c.operation;
        } catch (const EGeneralError& e) {
            EXPECT_EQ(std::string(e.what()),
                      std::string("Notify queue operation cannot be performed before a thread is "
                                  "attached: ") +
                          c.operation);
        }
    }
    // Posting works from anywhere.
    bool ran = false;
    std::thread poster([&] { queue.Post({this, "T"}, "m", [&] { ran = true; }); });
    poster.join();
    queue.ProcessQueue();
    EXPECT_TRUE(ran);
}

TEST_F(NotifyQueueTest, FailingNotificationIsLoggedAndTheLoopGoesOn) {
    std::vector<std::string> errors;
    std::vector<std::string> events;
    queue.SetErrorCallback([&](const std::exception& e) { errors.push_back(e.what()); });
    queue.SetEventLog([&](std::string_view text) { events.emplace_back(text); });
    bool later = false;
    queue.Post({this, "TFailing"}, "m", [] { throw EGeneralError("it broke"); });
    queue.Post({this, "TFailing"}, "n", [&] { later = true; });
    queue.ProcessQueue();
    EXPECT_TRUE(later);
    EXPECT_EQ(errors, (std::vector<std::string>{"it broke"}));
    EXPECT_EQ(events, (std::vector<std::string>{"Notify Event Failed: it broke"}));
    EXPECT_NE(LogText().find(", class is TFailing\r\nit broke\r\n"), std::string::npos)
        << LogText();

    queue.Post({this, "T"}, "x", [] { throw 42; });
    EXPECT_THROW(queue.ProcessQueue(), int) << "foreign errors pass on";

    TClock clock(1, true, [] { throw EGeneralError("tick broke"); });
    platform::SleepMs(5);
    queue.ProcessClocks();
    EXPECT_NE(LogText().find("Failed to notify timer\r\ntick broke"), std::string::npos);
}

TEST_F(NotifyQueueTest, SlowNotificationIsLogged) {
    std::uint64_t now = 100;
    queue.SetTickSource([&] { return now; });
    queue.Post(
        {this, "TSlow"}, "m", [&] { now += 1500; }, TNotifyPriority::Normal, false, "Status");
    queue.Post({this, "TSlow"}, "n", [&] { now += 1500; }); // no description: not logged
    queue.ProcessQueue();
    const std::string text = LogText();
    EXPECT_NE(text.find("TNotifyQueue.ProcessQueue: Packet Status from source TSlow processed "
                        "after 0 ms. Finished after 1500 ms"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("processed after 1500"), std::string::npos);
}

TEST_F(NotifyQueueTest, UndeliveredNotificationsAreReportedAtShutdown) {
    {
        TNotifyQueue doomed;
        doomed.SetLog(&log);
        doomed.Post(
            {this, "TPending"}, "m", [] {}, TNotifyPriority::Normal, false, "first");
        doomed.Post(
            {this, "TPending"}, "n", [] {}, TNotifyPriority::Normal, false, "second");
    }
    const std::string text = LogText();
    EXPECT_NE(text.find("Notify Queue Warning\r\nShutting down with 2 undelivered notifications "
                        "in Primary Queue (Normal)."),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\"second\""), std::string::npos);
}

TEST_F(NotifyQueueTest, LoopRunsPostsAndClocksUntilStopped) {
    std::thread watchdog = Watchdog();
    int ticks = 0;
    std::vector<int> posted;
    std::thread poster;
    TClock clock(5, true, [&] {
        if (++ticks == 3) {
            // Posts from other threads wake the sleeping loop.
            poster = std::thread([&] {
                for (int i = 0; i < 100; ++i) {
                    queue.Post({this, "T"}, "m", [&posted, i] { posted.push_back(i); });
                }
                // Same priority: a lower one may overtake entries posted before it.
                queue.Post({this, "T"}, "stop", [&] { queue.Stop(); });
            });
        }
    });
    queue.Run();
    done->Set();
    watchdog.join();
    poster.join();
    EXPECT_GE(ticks, 3);
    EXPECT_EQ(posted.size(), 100u);
    EXPECT_TRUE(queue.Stopped());

    TNotifyQueue second;
    second.Attach();
    second.Stop();
    second.Run(); // returns at once
    queue.Attach();
}

TEST_F(NotifyQueueTest, ExternalEventSetByAnotherProcessRunsTheHandlers) {
    std::thread watchdog = Watchdog();
    const std::string name = TNotifyQueue::ExternalEventName(queue.ExternalEventGuid());
    EXPECT_EQ(name.rfind("Tavrix_NotifyEvent_{", 0), 0u) << "in the own session";
    int calls = 0;
    int target = 0;
    pid_t child = -1;
    queue.AddExternalHandler({&target, "TReceiver"}, [&] {
        // The first pass runs before anyone set the event.
        if (++calls == 1) {
            child = SpawnChild("notify-set", {name});
        } else {
            queue.Stop();
        }
    });
    queue.Run();
    done->Set();
    watchdog.join();
    EXPECT_EQ(WaitChild(child), 0);
    EXPECT_GE(calls, 2);
    queue.RemoveExternalHandlers(&target);

    // Waiting with an event set at the start of the wait.
    auto request = platform::TEvent::CreateLocal(false, false);
    std::thread answer([&] {
        if (request->Wait(30000)) {
            platform::TEvent::Open(name)->Set();
        }
    });
    EXPECT_TRUE(queue.WaitForExternalEvent(30000, request.get()));
    answer.join();
    EXPECT_FALSE(queue.WaitForExternalEvent(0));
}

} // namespace
