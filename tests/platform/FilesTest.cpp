#include "platform/Files.h"

#include "TestProcess.h"

#include <gtest/gtest.h>

using namespace platform;
using namespace testing_support;

namespace {

std::string Content(const std::string& path) {
    std::string data;
    EXPECT_EQ(ReadWholeFile(path, data, 1 << 20), TFileReadResult::Ok);
    return data;
}

TEST(FileWriter, PositionedWritesAndTruncation) {
    TTempDir dir;
    const std::string path = dir.Path() + "/f.bin";
    auto writer = TFileWriter::Create(path, TFileWriter::TMode::Truncate);
    ASSERT_NE(writer, nullptr);
    ASSERT_TRUE(writer->Write("0123456789"));
    ASSERT_TRUE(writer->WriteAt(2, "ab"));
    ASSERT_TRUE(writer->WriteAt(12, "xy")); // past the end leaves a zero gap
    // The file position stays after the sequential write.
    ASSERT_TRUE(writer->Write("Z"));
    EXPECT_EQ(Content(path), std::string("01ab456789Z\0xy", 14));
    ASSERT_TRUE(writer->Truncate(4));
    EXPECT_EQ(Content(path), "01ab");
}

TEST(FileWriter, UpdateModeKeepsTheContent) {
    TTempDir dir;
    const std::string path = dir.Path() + "/f.bin";
    ASSERT_TRUE(TFileWriter::Create(path, TFileWriter::TMode::Truncate)->Write("abcdef"));
    auto update = TFileWriter::Create(path, TFileWriter::TMode::Update);
    ASSERT_NE(update, nullptr);
    ASSERT_TRUE(update->WriteAt(3, "X"));
    EXPECT_EQ(Content(path), "abcXef");
    // Missing files are created.
    const std::string fresh = dir.Path() + "/new.bin";
    ASSERT_NE(TFileWriter::Create(fresh, TFileWriter::TMode::Update), nullptr);
    EXPECT_EQ(Content(fresh), "");
    std::string error;
    EXPECT_EQ(TFileWriter::Create(dir.Path() + "/no/such.bin", TFileWriter::TMode::Update, &error),
              nullptr);
    EXPECT_FALSE(error.empty());
}

} // namespace
