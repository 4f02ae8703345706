#include "buildsys/DoubleCommand.h"
#include "buildsys/DoubleRun.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace {

using namespace buildsys;

std::string Temp(const std::string& real) {
    return real + ".t";
}

TEST(DoubleCommand, WritesEveryFileUnderATemporaryNameOrDoesNotDouble) {
    struct TCase {
        std::vector<std::string> argv;
        std::optional<std::vector<std::string>> doubled; // none: no second attempt
    };
    const TCase cases[] = {
        {{"gcc", "-c", "a.c", "-o", "a.o"}, {{"gcc", "-c", "a.c", "-o", "a.o.t"}}},
        // A dependency file moves too, and keeps naming the real output as its target.
        {{"gcc", "-MD", "-MF", "d/a.d", "-c", "a.c", "-o", "d/a.o"},
         {{"gcc", "-MD", "-MF", "d/a.d.t", "-c", "a.c", "-o", "d/a.o.t", "-MT", "d/a.o"}}},
        {{"cc", "-MD", "-MT", "x", "-MF", "a.d", "-c", "a.c", "-o", "a.o"},
         {{"cc", "-MD", "-MT", "x", "-MF", "a.d.t", "-c", "a.c", "-o", "a.o.t"}}},
        // No plain -o FILE.
        {{"gcc", "-c", "a.c"}, std::nullopt},
        {{"gcc", "-c", "a.c", "-oa.o"}, std::nullopt},
        {{"gcc", "-c", "a.c", "-o"}, std::nullopt},
        {{"gcc", "-c", "a.c", "-o", "-"}, std::nullopt},
        {{"gcc", "-c", "a.c", "-o", "a.o", "-o", "b.o"}, std::nullopt},
        // Files named after the output, or options the command cannot be read past.
        {{"gcc", "-MD", "-c", "a.c", "-o", "a.o"}, std::nullopt},
        {{"gcc", "-Wp,-MMD,a.d", "-c", "a.c", "-o", "a.o"}, std::nullopt},
        {{"gcc", "--coverage", "-c", "a.c", "-o", "a.o"}, std::nullopt},
        {{"gcc", "-fprofile-generate=x", "-c", "a.c", "-o", "a.o"}, std::nullopt},
        {{"gcc", "-gsplit-dwarf", "-c", "a.c", "-o", "a.o"}, std::nullopt},
        {{"gcc", "-save-temps", "-c", "a.c", "-o", "a.o"}, std::nullopt},
        {{"gcc", "@args", "-o", "a.o"}, std::nullopt},
        {{"gcc", "", "-c", "a.c", "-o", "a.o"}, {{"gcc", "", "-c", "a.c", "-o", "a.o.t"}}},
        // A target make would read differently without quoting stays unchanged.
        {{"gcc", "-MD", "-MF", "a.d", "-c", "a.c", "-o", "a b.o"}, std::nullopt},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.argv));
        const std::optional<TDoubleCommand> got = DoubleCommandOf(c.argv, Temp);
        ASSERT_EQ(got.has_value(), c.doubled.has_value());
        if (got) {
            EXPECT_EQ(got->Argv, *c.doubled);
            for (const auto& [temp, real] : got->Files) {
                EXPECT_EQ(temp, real + ".t");
            }
        }
    }
    // No temporary name to be had: no second attempt.
    EXPECT_FALSE(DoubleCommandOf({"gcc", "-c", "a.c", "-o", "a.o"},
                                 [](const std::string&) { return std::string(); }));
}

struct DoubleRunTest : ::testing::Test {
    std::filesystem::path folder;
    void SetUp() override {
        char name[] = "/tmp/double-run-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        folder = name;
    }
    void TearDown() override { std::filesystem::remove_all(folder); }
    std::unique_ptr<TDoubleRun> Start(const std::string& script) {
        std::optional<TDoubleCommand> command = DoubleCommandOf(
            {"sh", "-c", script, "sh", "-o", "out.o"},
            [&](const std::string& real) { return TDoubleRun::ReserveBeside(folder, real); });
        EXPECT_TRUE(command);
        return command ? TDoubleRun::Start("/bin/sh", *command, folder, {"PATH=/usr/bin:/bin"})
                       : nullptr;
    }
    std::vector<std::string> Files() {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }
};

TEST_F(DoubleRunTest, AWonRunsFileTakesTheRealNameAndALostOnesGoes) {
    // $2 is the temporary output name the command got in place of out.o.
    const std::string script = "printf obj > \"$2\"; echo said; echo warned >&2";
    std::unique_ptr<TDoubleRun> won = Start(script);
    ASSERT_TRUE(won);
    std::optional<int> status;
    for (int i = 0; i < 500 && !status; ++i) {
        status = won->Ended(20);
    }
    ASSERT_EQ(status, 0);
    const auto output = won->Output();
    std::string out, err;
    for (const auto& [stream, bytes] : output) {
        (stream == 1 ? out : err) += bytes;
    }
    EXPECT_EQ(out, "said\n");
    EXPECT_EQ(err, "warned\n");
    std::string error;
    ASSERT_TRUE(won->Commit(error)) << error;
    won.reset();
    EXPECT_EQ(Files(), std::vector<std::string>{"out.o"});
    std::ifstream in(folder / "out.o");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "obj");

    // A run killed while it writes leaves neither its file nor its process behind.
    std::filesystem::remove(folder / "out.o");
    std::unique_ptr<TDoubleRun> lost = Start("printf part > \"$2\"; sleep 30 & echo $!; wait");
    ASSERT_TRUE(lost);
    std::string said;
    for (int i = 0; i < 500 && said.find('\n') == std::string::npos; ++i) {
        EXPECT_FALSE(lost->Ended(10));
        said.clear();
        for (const auto& [stream, bytes] : lost->Output()) {
            said += stream == 1 ? bytes : std::string();
        }
    }
    ASSERT_NE(said.find('\n'), std::string::npos) << said;
    const std::string grandchild = "/proc/" + std::to_string(std::stoi(said)) + "/stat";
    EXPECT_NE(lost->Kill(), 0);
    lost.reset();
    EXPECT_TRUE(Files().empty());
    // The tool's own child dies with it (once reaped by whoever adopted it, its entry goes).
    const auto running = [&] {
        std::ifstream stat(grandchild);
        std::string pid, name, state;
        return stat >> pid >> name >> state && state != "Z";
    };
    for (int i = 0; i < 250 && running(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_FALSE(running()) << grandchild;
}

TEST_F(DoubleRunTest, ASecondAttemptYieldsTheProcessorToTheBuildsOtherWork) {
    const int own = ::nice(0);
    if (own >= 19) {
        GTEST_SKIP() << "the test runs at the lowest priority already";
    }
    std::unique_ptr<TDoubleRun> run = Start("nice");
    ASSERT_TRUE(run);
    std::optional<int> status;
    for (int i = 0; i < 500 && !status; ++i) {
        status = run->Ended(20);
    }
    ASSERT_EQ(status, 0);
    std::string out;
    for (const auto& [stream, bytes] : run->Output()) {
        out += stream == 1 ? bytes : std::string();
    }
    EXPECT_EQ(std::stoi(out), 19) << out;
}

TEST_F(DoubleRunTest, OnlyAPlainFileOrNoneIsEverReplaced) {
    std::ofstream(folder / "plain.o") << "x";
    std::filesystem::create_symlink(folder / "plain.o", folder / "link.o");
    std::filesystem::create_directory(folder / "dir.o");
    const struct {
        std::string real;
        bool reserved;
    } cases[] = {{"new.o", true},  {"plain.o", true},    {"link.o", false},
                 {"dir.o", false}, {"/dev/null", false}, {"sub/../plain.o", true}};
    std::filesystem::create_directory(folder / "sub");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.real);
        const std::string temp = TDoubleRun::ReserveBeside(folder, c.real);
        EXPECT_EQ(!temp.empty(), c.reserved);
    }
    // A probe of a compile writing to /dev/null finds no name: the device is never touched.
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
}

} // namespace
