#include "monitor/MonitorFileWriter.h"

#include "core/Errors.h"
#include "packets/Compression.h"
#include "packets/PacketStream.h"
#include "records/MonitorEvents.h"
#include "records/Registration.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class MonitorFileWriter : public ::testing::Test {
protected:
    void SetUp() override {
        records::RegisterAllPacketClasses();
        dir = std::filesystem::temp_directory_path() /
              ("ravel_monitor_writer_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir);
        meta.ID = core::TGUID::Literal("{0A1B2C3D-0000-4000-8000-00000000ABCD}");
        meta.Caption = "Nightly";
        meta.StartTime = 46000.5;
        meta.Command.BuildClass = "make";
        meta.Command.Command = "make -j2";
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    // Serialises `count` more events the way a build system does: one context for
    // the whole stream, several events per block.
    std::vector<std::uint8_t> MoreEvents(int count) {
        packets::TMemoryStream bytes;
        for (int i = 0; i < count; ++i) {
            auto event = std::make_unique<records::TMonitorEventOutputPacket>();
            event->ms = static_cast<std::int32_t>(written.size());
            event->Text = "line " + std::to_string(written.size());
            if (written.size() % 3 == 0) {
                event->ErrText = std::string(written.size() % 1000, 'e');
            }
            event->SaveToStream(bytes, &saveContext);
            written.push_back(std::move(event));
        }
        return {bytes.Bytes().begin(), bytes.Bytes().end()};
    }

    // Opens the file as the console does and checks every event in it.
    void ExpectReadable(std::size_t expectedEvents, bool incomplete) {
        records::TMetaBuildPacket loaded;
        const auto reader = monitor::OpenMonitorFileForEvents(File(), loaded);
        ASSERT_NE(reader, nullptr);
        EXPECT_EQ(loaded.ID, meta.ID);
        EXPECT_EQ(loaded.Command.Command, "make -j2");
        EXPECT_EQ(loaded.Incomplete, incomplete);
        // The file names the program that wrote it, as its banner does.
        EXPECT_EQ(loaded.ProductVersionText, "10.24.2 (build 14861)");
        EXPECT_EQ(loaded.ProductVersion, 102402);
        EXPECT_EQ(loaded.ProductBuildNum, 14861);
        packets::TPacketLoadContext context;
        std::size_t n = 0;
        while (reader->Position() < reader->Size()) {
            auto event = packets::TPacket::CreateFromStream(*reader, &context);
            ASSERT_LT(n, written.size());
            EXPECT_TRUE(event->IsEqual(*written[n])) << n;
            ++n;
        }
        EXPECT_EQ(n, expectedEvents);
    }

    std::string File() const { return (dir / "46000" / "b.mv_mon").string(); }

    std::filesystem::path dir;
    records::TMetaBuildPacket meta;
    packets::TPacketSaveContext saveContext;
    std::vector<std::unique_ptr<packets::TPacket>> written;
};

TEST_F(MonitorFileWriter, ReadableWhileWrittenAndAfterFinish) {
    monitor::TMonitorFileWriter writer(File(), meta);
    ExpectReadable(0, true);
    std::size_t bytes = 0;
    for (int count : {1, 40, 0, 3000}) {
        const auto block = MoreEvents(count);
        bytes += block.size();
        writer.Append(block);
        ExpectReadable(written.size(), true);
    }
    EXPECT_EQ(writer.EventBytes(), static_cast<std::int64_t>(bytes));
    monitor::TMonitorFileOutcome outcome;
    outcome.ErrorCount = 3;
    outcome.WarningCount = 70000;
    outcome.SystemErrorCount = 1;
    outcome.Duration = 0.25;
    outcome.Cancelled = true;
    outcome.ExitCode = 130;
    writer.Finish(outcome);
    ExpectReadable(written.size(), false);

    records::TMetaBuildPacket loaded;
    monitor::OpenMonitorFileForEvents(File(), loaded);
    EXPECT_EQ(loaded.ErrorCount, 3);
    EXPECT_EQ(loaded.WarningCount, 70000);
    EXPECT_EQ(loaded.SystemErrorCount, 1);
    EXPECT_EQ(loaded.Duration, 0.25);
    EXPECT_TRUE(loaded.Cancelled);
    EXPECT_EQ(loaded.ExitCode, 130);
    EXPECT_EQ(loaded.Caption, "Nightly");
}

TEST_F(MonitorFileWriter, AnOpenReaderFollowsTheFile) {
    monitor::TMonitorFileWriter writer(File(), meta);
    writer.Append(MoreEvents(5));
    records::TMetaBuildPacket loaded;
    const auto reader = monitor::OpenMonitorFileForEvents(File(), loaded);
    auto* events = dynamic_cast<packets::TDecompressStream*>(reader.get());
    ASSERT_NE(events, nullptr);
    packets::TPacketLoadContext context;
    std::size_t n = 0;
    const auto readAvailable = [&] {
        while (events->Position() < events->Size()) {
            auto event = packets::TPacket::CreateFromStream(*events, &context);
            ASSERT_LT(n, written.size());
            EXPECT_TRUE(event->IsEqual(*written[n]));
            ++n;
        }
    };
    readAvailable();
    EXPECT_EQ(n, 5u);
    writer.Append(MoreEvents(7));
    EXPECT_EQ(events->Size(), events->Position()); // nothing new until refreshed
    events->Refresh();
    readAvailable();
    EXPECT_EQ(n, 12u);
    writer.Append(MoreEvents(2));
    writer.Finish({});
    events->Refresh();
    readAvailable();
    EXPECT_EQ(n, 14u);
}

// Peak resident memory of this process since the last reset, in bytes.
std::int64_t PeakResident() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stoll(line.substr(6)) * 1024;
        }
    }
    return -1;
}
bool ResetPeakResident() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return static_cast<bool>(clear);
}

// A file far larger than what a reader may hold replays in bounded memory: the
// record is read alone and the events block by block, nothing after it in one piece.
TEST_F(MonitorFileWriter, ALargeFileReplaysInBoundedMemory) {
    constexpr int Events = 640;
    constexpr std::size_t TextSize = 64 * 1024; // 40 MiB of events that do not compress
    const auto text = [](int i) {
        std::string t(TextSize, ' ');
        std::uint32_t x = 2463534242u + static_cast<std::uint32_t>(i);
        for (char& c : t) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            c = static_cast<char>(x);
        }
        return t;
    };
    {
        monitor::TMonitorFileWriter writer(File(), meta);
        for (int i = 0; i < Events; ++i) {
            records::TMonitorEventOutputPacket event;
            event.ms = i;
            event.Text = text(i);
            packets::TMemoryStream bytes;
            event.SaveToStream(bytes, &saveContext);
            writer.Append(bytes.Bytes());
        }
        writer.Finish({});
    }
    ASSERT_GT(std::filesystem::file_size(File()), Events * TextSize);
    if (!ResetPeakResident()) {
        GTEST_SKIP() << "the peak resident memory cannot be reset here";
    }
    const std::int64_t before = PeakResident();
    records::TMetaBuildPacket loaded;
    const auto reader = monitor::OpenMonitorFileForEvents(File(), loaded);
    ASSERT_NE(reader, nullptr);
    packets::TPacketLoadContext context;
    int n = 0;
    while (reader->Position() < reader->Size()) {
        const auto event = packets::TPacket::CreateFromStream(*reader, &context);
        const auto* output = dynamic_cast<records::TMonitorEventOutputPacket*>(event.get());
        ASSERT_NE(output, nullptr);
        ASSERT_EQ(output->ms, n);
        ASSERT_TRUE(output->Text == text(n)) << n;
        ++n;
    }
    EXPECT_EQ(n, Events);
    // Two decoded blocks, a compressed one and the record: a few MiB, not the file.
    // (The address sanitizer keeps freed memory in quarantine: no bound to check there.)
#ifndef __SANITIZE_ADDRESS__
    EXPECT_LT(PeakResident() - before, std::int64_t{16} << 20);
#else
    (void)before;
#endif
}

TEST_F(MonitorFileWriter, FailsWhenTheFileCannotBeCreated) {
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "blocker") << "a file where a folder should be";
    EXPECT_THROW(monitor::TMonitorFileWriter((dir / "blocker" / "b.mv_mon").string(), meta),
                 core::EOSError);
}

// A monitor file holds the build's environment: its user's alone, whatever the umask;
// a history file is new, a copy may replace the user's own file but never follows a link.
TEST_F(MonitorFileWriter, FilesArePrivateAndHistoryFilesNew) {
    std::filesystem::create_directories(dir);
    const std::string existing = (dir / "existing.mv_mon").string();
    std::ofstream(existing) << "old";
    const std::string elsewhere = (dir / "elsewhere").string();
    std::ofstream(elsewhere) << "kept";
    const std::string link = (dir / "link.mv_mon").string();
    std::filesystem::create_symlink(elsewhere, link);
    const mode_t oldMask = ::umask(0);
    const struct {
        std::string Path;
        bool Exclusive;
        bool Written;
    } cases[] = {
        {(dir / "new.mv_mon").string(), true, true},
        {existing, true, false},
        {existing, false, true},
        {link, true, false},
        {link, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Path + (c.Exclusive ? " exclusive" : ""));
        if (c.Written) {
            monitor::TMonitorFileWriter writer(c.Path, meta, c.Exclusive);
            writer.Finish({});
            EXPECT_EQ(std::filesystem::status(c.Path).permissions(),
                      std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
        } else {
            EXPECT_THROW(monitor::TMonitorFileWriter(c.Path, meta, c.Exclusive), core::EOSError);
        }
    }
    ::umask(oldMask);
    std::ifstream in(elsewhere);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "kept");
}

} // namespace
