#include "monitor/MonitorFile.h"
#include "core/Errors.h"
#include "packets/Compression.h"
#include "packets/PacketStream.h"
#include "records/MonitorEvents.h"
#include "records/Registration.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <unistd.h>

namespace {

class MonitorFile : public ::testing::Test {
protected:
    void SetUp() override {
        records::RegisterAllPacketClasses();
        dir = std::filesystem::temp_directory_path() /
              ("ravel_monitor_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    // A compressed stream of `count` output events in the compact form.
    static packets::TMemoryStream Events(int count) {
        packets::TMemoryStream plain;
        packets::TPacketSaveContext context;
        for (int i = 0; i < count; ++i) {
            records::TMonitorEventOutputPacket event;
            event.Text = "line " + std::to_string(i);
            event.SaveToStream(plain, &context);
        }
        packets::TMemoryStream compressed;
        plain.SetPosition(0);
        packets::Compress(plain, plain.Size(), compressed);
        return compressed;
    }

    static std::vector<std::string> ReadTexts(packets::TStream& reader) {
        std::vector<std::string> texts;
        packets::TPacketLoadContext context;
        while (reader.Position() < reader.Size()) {
            auto packet = packets::TPacket::CreateFromStream(reader, &context);
            texts.push_back(dynamic_cast<records::TMonitorEventOutputPacket&>(*packet).Text);
        }
        return texts;
    }

    std::string Path(const std::string& name) const { return (dir / name).string(); }
    std::filesystem::path dir;
};

TEST_F(MonitorFile, EventsInsideOrAfterTheRecordReadBack) {
    for (const auto placement :
         {monitor::TEventsPlacement::InsideRecord, monitor::TEventsPlacement::AfterRecord}) {
        records::TMetaBuildPacket meta;
        meta.Caption = "Nightly";
        meta.Incomplete = true;
        packets::TMemoryStream events = Events(500);
        monitor::WriteMonitorFile(Path("b.mv_mon"), meta, events, placement);

        records::TMetaBuildPacket loaded;
        const auto reader = monitor::OpenMonitorFileForEvents(Path("b.mv_mon"), loaded);
        ASSERT_NE(reader, nullptr);
        EXPECT_EQ(loaded.Caption, "Nightly");
        EXPECT_TRUE(loaded.Incomplete);
        EXPECT_EQ(loaded.MonitorEvents.Size(), 0); // the reader took the events
        const std::vector<std::string> texts = ReadTexts(*reader);
        ASSERT_EQ(texts.size(), 500u);
        EXPECT_EQ(texts[499], "line 499");
    }
    records::TMetaBuildPacket meta;
    EXPECT_EQ(monitor::OpenMonitorFileForEvents(Path("b.MV_MON.txt"), meta), nullptr);
}

TEST_F(MonitorFile, MarkerRules) {
    const auto write = [&](const std::string& blob) {
        records::TMetaBuildPacket meta;
        meta.OldMonitorEvents.Write(blob.data(), blob.size());
        packets::TMemoryStream file;
        meta.SaveToStream(file);
        packets::TMemoryStream events = Events(3);
        events.SetPosition(0);
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(events.Size()));
        events.Read(bytes.data(), bytes.size());
        file.Write(bytes.data(), bytes.size());
        std::FILE* f = std::fopen(Path("m.mv_mon").c_str(), "wb");
        std::fwrite(file.Memory(), 1, static_cast<std::size_t>(file.Size()), f);
        std::fclose(f);
    };
    const std::string length("\x27\0\0\0", 4);
    write(length + "eventsinparentstreamappendedtometabuild"); // any letter case
    records::TMetaBuildPacket meta;
    EXPECT_EQ(ReadTexts(*monitor::OpenMonitorFileForEvents(Path("m.mv_mon"), meta)).size(), 3u);

    for (const std::string& bad : {length + std::string(39, 'x'), std::string("short")}) {
        write(bad);
        records::TMetaBuildPacket other;
        try {
            monitor::OpenMonitorFileForEvents(Path("m.mv_mon"), other);
            ADD_FAILURE();
        } catch (const core::EGeneralError& e) {
            EXPECT_STREQ(e.what(), "Invalid or corrupted .mv_mon file");
        }
    }
}

TEST(HistoryFile, PathOfABuild) {
    EXPECT_EQ(monitor::StartDayText(46000.75), "46000"); // 9 December 2025
    const core::TGUID id = core::TGUID::Literal("{0a1b2c3d-0000-4000-8000-00000000abcd}");
    EXPECT_EQ(monitor::HistoryFilePath("/opt/morvek", "46000", id),
              "/opt/morvek/History/Local/46000/{0A1B2C3D-0000-4000-8000-00000000ABCD}.mv_mon");
    EXPECT_EQ(monitor::HistoryFilePath("/opt/morvek/", "1", core::TGUID{}), "");
}

} // namespace
