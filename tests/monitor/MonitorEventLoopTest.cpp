// Following a build whose build system has ended before its events were read: the
// shared stream's later sections are gone, the history file holds every event.
#include "monitor/MonitorEventLoop.h"
#include "../platform/TestProcess.h"
#include "monitor/EventSources.h"
#include "monitor/MonitorFile.h"
#include "monitor/MonitorFileWriter.h"
#include "packets/GrowingSharedStream.h"
#include "packets/PacketStream.h"
#include "packets/SpinLock.h"
#include "records/MonitorEvents.h"
#include "records/Registration.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace testing_support;

namespace {

constexpr std::uint32_t Section = 65536;
constexpr double StartTime = 46000.75;

class MonitorEventLoop : public TObjectsDirFixture {
protected:
    void SetUp() override { records::RegisterAllPacketClasses(); }

    // The events of a build: its start, then `lines` output events of `width` bytes.
    std::vector<std::uint8_t> BuildEvents(int lines, std::size_t width) {
        packets::TMemoryStream bytes;
        packets::TPacketSaveContext context;
        records::TMonitorEventStartedPacket started;
        started.ID = id;
        started.StartTime = StartTime;
        started.SaveToStream(bytes, &context);
        for (int i = 0; i < lines; ++i) {
            records::TMonitorEventOutputPacket output;
            output.Text = std::to_string(i);
            output.Text.resize(width, '.');
            output.SaveToStream(bytes, &context);
        }
        return {bytes.Bytes().begin(), bytes.Bytes().end()};
    }

    // Writes the history file of the build into the folder of `day`.
    void WriteHistory(const std::string& day, const std::vector<std::uint8_t>& events) {
        records::TMetaBuildPacket meta;
        meta.ID = id;
        meta.StartTime = StartTime;
        monitor::TMonitorFileWriter writer(monitor::HistoryFilePath(agent.Path(), day, id), meta);
        writer.Append(events);
        writer.Finish({});
    }

    // The lines a loop hands on, and whether it failed.
    struct TFollowed {
        std::vector<std::string> Lines;
        std::string Failure;
        bool Completed = false;
        bool FromFile = false;
    };

    // Lets the build system write `events` into its stream and end, then follows the
    // build from the one section the console had mapped when it attached.
    // With `running`, the build system still runs and every section is there.
    TFollowed FollowEndedBuild(const std::vector<std::uint8_t>& events, bool running = false) {
        auto owner = std::make_unique<packets::TGrowingSharedStream>(id, Section, nullptr, true,
                                                                     packets::SessionOwn);
        bool global = true;
        auto source = monitor::TSharedStreamEventSource::Open(id, global);
        EXPECT_FALSE(global);
        owner->Write(events.data(), events.size());
        if (!running) {
            owner.reset(); // the build system has ended: its sections are gone
        }

        TFollowed followed;
        monitor::TMonitorEventLoop loop(
            std::move(source), {id, "unused", agent.Path()},
            [&](packets::TPacket& event) {
                if (&event.Class() == &records::TMonitorEventOutputPacket::StaticClass()) {
                    followed.Lines.push_back(
                        static_cast<records::TMonitorEventOutputPacket&>(event).Text);
                } else if (&event.Class() == &records::TMonitorEventMessagePacket::StaticClass()) {
                    followed.Failure =
                        static_cast<records::TMonitorEventMessagePacket&>(event).Text;
                }
            },
            nullptr);
        try {
            loop.ReadingPass();
        } catch (const std::exception& e) {
            EXPECT_NE(followed.Failure, "") << e.what();
        }
        followed.Completed = loop.Completed();
        followed.FromFile = loop.ReadingFromFile();
        loop.Shutdown();
        return followed;
    }

    static void ExpectLines(const std::vector<std::string>& lines, int count, std::size_t width) {
        ASSERT_EQ(lines.size(), static_cast<std::size_t>(count));
        for (int i = 0; i < count; ++i) {
            std::string expected = std::to_string(i);
            expected.resize(width, '.');
            ASSERT_EQ(lines[static_cast<std::size_t>(i)], expected) << i;
        }
    }

    const core::TGUID id = core::TGUID::Literal("{0A1B2C3D-0000-4000-8000-0000000E0E01}");
    TTempDir agent;
};

TEST_F(MonitorEventLoop, GoesOnInTheHistoryFileAtTheOffsetReached) {
    const struct {
        const char* Name;
        int Lines;
        std::size_t Width;
        const char* HistoryDay; // folder of the history file
        bool Running = false;   // the stream is read while its sections are there
    } cases[] = {
        // Events cross section ends and are read from the stream alone.
        {"running", 3000, 100, "46000", true},
        {"running, large events", 12, 100000, "46000", true},
        // Events cross section ends; the file lies in the start day's folder.
        {"start day", 3000, 100, "46000"},
        // Found by the build's identity in another day's folder.
        {"other day", 3000, 100, "45999"},
        // Events larger than a section.
        {"large events", 12, 100000, "46000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::vector<std::uint8_t> events = BuildEvents(c.Lines, c.Width);
        ASSERT_GT(events.size(), 3u * Section);
        WriteHistory(c.HistoryDay, events);
        const TFollowed followed = FollowEndedBuild(events, c.Running);
        EXPECT_EQ(followed.Failure, "");
        EXPECT_EQ(followed.FromFile, !c.Running);
        ExpectLines(followed.Lines, c.Lines, c.Width);
        std::filesystem::remove_all(std::filesystem::path(agent.Path()) / "History");
    }
}

TEST_F(MonitorEventLoop, WithoutAHistoryFileTheReadEventsArriveAndTheRunFails) {
    const std::vector<std::uint8_t> events = BuildEvents(3000, 100);
    const TFollowed followed = FollowEndedBuild(events);
    // Every event that lies wholly in the mapped first section was handed on.
    EXPECT_GT(followed.Lines.size(), Section / 125);
    EXPECT_LT(followed.Lines.size(), 3000u);
    ExpectLines({followed.Lines.begin(), followed.Lines.end()},
                static_cast<int>(followed.Lines.size()), 100);
    EXPECT_NE(followed.Failure.find("Failed to load monitor event from data stream"),
              std::string::npos)
        << followed.Failure;
    EXPECT_TRUE(followed.Completed);
}

} // namespace
