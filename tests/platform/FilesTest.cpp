#include "platform/Files.h"

#include "TestProcess.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

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

// Files that hold a user's build: 0600 whatever the umask, never through a link,
// never another user's file.
TEST(FileWriter, PrivateModesRefuseWhatAnotherUserCouldHavePrepared) {
    TTempDir dir;
    const std::string target = dir.Path() + "/target";
    ASSERT_TRUE(TFileWriter::Create(target, TFileWriter::TMode::Truncate)->Write("kept"));
    const mode_t oldMask = ::umask(0);
    const struct {
        const char* Name;
        TFileWriter::TMode Mode;
        const char* Prepared; // "", "file", "link" or "fifo"
        bool Created;
    } cases[] = {
        {"new", TFileWriter::TMode::CreateNew, "", true},
        {"existing", TFileWriter::TMode::CreateNew, "file", false},
        {"link-new", TFileWriter::TMode::CreateNew, "link", false},
        {"fifo-new", TFileWriter::TMode::CreateNew, "fifo", false},
        {"private", TFileWriter::TMode::Private, "", true},
        {"own-file", TFileWriter::TMode::Private, "file", true},
        {"link-private", TFileWriter::TMode::Private, "link", false},
        {"fifo-private", TFileWriter::TMode::Private, "fifo", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string path = dir.Path() + "/" + c.Name;
        const std::string prepared = c.Prepared;
        if (prepared == "file") {
            ASSERT_TRUE(TFileWriter::Create(path, TFileWriter::TMode::Truncate)->Write("old"));
        } else if (prepared == "link") {
            ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
        } else if (prepared == "fifo") {
            ASSERT_EQ(::mkfifo(path.c_str(), 0666), 0);
        }
        std::string error;
        auto writer = TFileWriter::Create(path, c.Mode, &error);
        EXPECT_EQ(writer != nullptr, c.Created) << error;
        if (writer) {
            ASSERT_TRUE(writer->Write("new"));
            struct stat st {};
            ASSERT_EQ(::stat(path.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, 0600u);
            EXPECT_EQ(Content(path), "new");
        } else {
            EXPECT_FALSE(error.empty());
        }
    }
    ::umask(oldMask);
    EXPECT_EQ(Content(target), "kept");
}

TEST(FileWriter, PrivateModeLeavesAnotherUsersFileAlone) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to make a file of another user";
    }
    TTempDir dir;
    const std::string path = dir.Path() + "/theirs";
    ASSERT_TRUE(TFileWriter::Create(path, TFileWriter::TMode::Truncate)->Write("theirs"));
    ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
    std::string error;
    EXPECT_EQ(TFileWriter::Create(path, TFileWriter::TMode::Private, &error), nullptr);
    EXPECT_NE(error.find("owned by another user"), std::string::npos) << error;
    EXPECT_EQ(Content(path), "theirs");
    std::string data;
    EXPECT_FALSE(ReadPrivateFile(path, data, 100, &error));
    EXPECT_NE(error.find("owned by another user"), std::string::npos) << error;
}

TEST(PrivateFiles, ReadOnlyWhatOnlyThisUserCouldHaveWritten) {
    TTempDir dir;
    const std::string own = dir.Path() + "/own";
    ASSERT_TRUE(TFileWriter::Create(own, TFileWriter::TMode::CreateNew)->Write("request"));
    const std::string open = dir.Path() + "/open";
    ASSERT_TRUE(TFileWriter::Create(open, TFileWriter::TMode::Truncate)->Write("x"));
    ASSERT_EQ(::chmod(open.c_str(), 0666), 0);
    const std::string link = dir.Path() + "/link";
    ASSERT_EQ(::symlink(own.c_str(), link.c_str()), 0);
    const std::string fifo = dir.Path() + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::string Path;
        bool Read;
        const char* Says;
    } cases[] = {
        {own, true, ""},
        {open, false, "may be written by other users"},
        {link, false, "Cannot open file"},
        {fifo, false, "not a regular file"},
        {dir.Path() + "/missing", false, "Cannot open file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Path);
        std::string data;
        std::string error;
        EXPECT_EQ(ReadPrivateFile(c.Path, data, 1 << 20, &error), c.Read) << error;
        if (c.Read) {
            EXPECT_EQ(data, "request");
        } else {
            EXPECT_NE(error.find(c.Says), std::string::npos) << error;
        }
    }
}

TEST(PrivateFiles, FoldersAreCreatedWithExactModesAndCheckedWhenTheyExist) {
    TTempDir dir;
    const mode_t oldMask = ::umask(077);
    const struct {
        const char* Name;
        bool Shared;
        int Existing; // -1: missing, else the mode it is made with
        bool Accepted;
        mode_t Result;
    } cases[] = {
        {"private-new", false, -1, true, 0700},      {"private-ok", false, 0700, true, 0700},
        {"private-open", false, 0777, false, 0},     {"private-group", false, 0750, false, 0},
        {"shared-new", true, -1, true, 01777},       {"shared-sticky", true, 01777, true, 01777},
        {"shared-not-sticky", true, 0777, false, 0}, {"shared-closed", true, 0755, true, 0755},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string path = dir.Path() + "/" + c.Name;
        if (c.Existing >= 0) {
            ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
            ASSERT_EQ(::chmod(path.c_str(), static_cast<mode_t>(c.Existing)), 0);
        }
        std::string error;
        const bool accepted =
            c.Shared ? EnsureSharedDirectory(path, &error) : EnsurePrivateDirectory(path, &error);
        EXPECT_EQ(accepted, c.Accepted) << error;
        if (accepted) {
            struct stat st {};
            ASSERT_EQ(::lstat(path.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, c.Result);
        } else {
            EXPECT_NE(error.find(c.Name), std::string::npos) << error;
        }
    }
    // A link is never taken for the folder.
    const std::string link = dir.Path() + "/link";
    ASSERT_EQ(::symlink((dir.Path() + "/private-new").c_str(), link.c_str()), 0);
    std::string error;
    EXPECT_FALSE(EnsurePrivateDirectory(link, &error));
    EXPECT_FALSE(EnsureSharedDirectory(link, &error));
    ::umask(oldMask);
}

} // namespace
