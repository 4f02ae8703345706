#include "buildsys/EventWriter.h"

#include "monitor/MonitorFileWriter.h"
#include "records/MonitorEvents.h"
#include "records/Registration.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <unistd.h>

namespace {

using buildsys::TEventWriter;

// Stands for the shared stream. Every write must come in whole events, and both
// monitor files must already hold its bytes at the same offsets.
class TCheckingStream : public packets::TStream {
public:
    std::vector<std::string> Files;
    std::vector<std::size_t> Writes;
    packets::TPacketLoadContext Context;
    std::vector<std::unique_ptr<packets::TPacket>> Events;

    std::size_t Read(void* b, std::size_t n) override { return data.Read(b, n); }
    void Write(const void* buffer, std::size_t count) override {
        const std::int64_t at = data.Size();
        for (const std::string& file : Files) {
            records::TMetaBuildPacket meta;
            const auto events = monitor::OpenMonitorFileForEvents(file, meta);
            ASSERT_GE(events->Size(), at + static_cast<std::int64_t>(count)) << file;
            std::vector<std::uint8_t> held(count);
            events->SetPosition(at);
            events->ReadBuffer(held.data(), count);
            EXPECT_EQ(std::memcmp(held.data(), buffer, count), 0) << file;
        }
        data.SetPosition(at);
        data.Write(buffer, count);
        Writes.push_back(count);
        // Whole events only: the chunk ends where an event ends.
        data.SetPosition(at);
        while (data.Position() < data.Size()) {
            Events.push_back(packets::TPacket::CreateFromStream(data, &Context));
        }
        EXPECT_EQ(data.Position(), data.Size());
    }
    std::int64_t Seek(std::int64_t o, packets::TSeekOrigin origin) override {
        return data.Seek(o, origin);
    }
    std::int64_t Size() const override { return data.Size(); }
    std::int64_t Position() const override { return data.Position(); }

private:
    packets::TMemoryStream data;
};

class EventWriter : public ::testing::Test {
protected:
    void SetUp() override {
        records::RegisterAllPacketClasses();
        dir = std::filesystem::temp_directory_path() /
              ("ravel_event_writer_" + std::to_string(::getpid()));
        records::TMetaBuildPacket meta;
        for (const char* name : {"history/b.mv_mon", "copy/b.mv_mon"}) {
            files.push_back(
                std::make_unique<monitor::TMonitorFileWriter>((dir / name).string(), meta));
            shared.Files.push_back((dir / name).string());
        }
        writer = std::make_unique<TEventWriter>(
            shared, std::vector<monitor::TMonitorFileWriter*>{files[0].get(), files[1].get()});
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    static std::unique_ptr<records::TMonitorEventOutputPacket> Output(std::size_t length,
                                                                      std::int32_t ms) {
        auto event = std::make_unique<records::TMonitorEventOutputPacket>();
        event->ms = ms;
        event->Text = std::string(length, static_cast<char>('a' + ms % 26));
        return event;
    }

    std::filesystem::path dir;
    TCheckingStream shared;
    std::vector<std::unique_ptr<monitor::TMonitorFileWriter>> files;
    std::unique_ptr<TEventWriter> writer;
};

TEST_F(EventWriter, ABatchIsDueSoonAfterItsFirstEvent) {
    EXPECT_EQ(writer->Deadline(), std::nullopt);
    writer->Add(*Output(10, 1), 1000);
    writer->Add(*Output(10, 2), 1015);
    EXPECT_EQ(writer->Deadline(), 1000 + TEventWriter::FlushDelayMs);
    writer->FlushIfDue(1000 + TEventWriter::FlushDelayMs - 1);
    EXPECT_TRUE(shared.Writes.empty());
    writer->FlushIfDue(1000 + TEventWriter::FlushDelayMs);
    ASSERT_EQ(shared.Writes.size(), 1u);
    EXPECT_EQ(shared.Events.size(), 2u);
    EXPECT_EQ(writer->Deadline(), std::nullopt);
    // The next batch has a deadline of its own.
    writer->Add(*Output(10, 3), 5000);
    EXPECT_EQ(writer->Deadline(), 5000 + TEventWriter::FlushDelayMs);
    writer->Flush();
    writer->Flush(); // nothing pending: no empty write
    EXPECT_EQ(shared.Writes.size(), 2u);
    EXPECT_EQ(writer->Written(), shared.Size());
}

TEST_F(EventWriter, LargeBatchesAreWrittenAtOnceInWholeEvents) {
    // 100 KiB events: the third one takes the batch past the limit.
    std::vector<std::unique_ptr<records::TMonitorEventOutputPacket>> sent;
    for (std::int32_t i = 0; i < 7; ++i) {
        sent.push_back(Output(100 * 1024 + static_cast<std::size_t>(i), i));
        writer->Add(*sent.back(), 1000);
    }
    EXPECT_EQ(shared.Writes.size(), 2u);
    EXPECT_GE(shared.Writes[0], TEventWriter::FlushBytes);
    writer->Flush();
    ASSERT_EQ(shared.Events.size(), sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i) {
        EXPECT_TRUE(shared.Events[i]->IsEqual(*sent[i])) << i;
    }
}

} // namespace
