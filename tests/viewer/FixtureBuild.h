#pragma once
// A small build for the viewer's tests: two machines (alpha local with two rows, beta a
// helper with one), seven tasks of every outcome, a graph row, output of a failed
// task, counts and a build-cache summary, written in three blocks.
#include <string>

namespace viewer_test {

// Events in the file, and how many of them lie in the first two blocks.
constexpr int FixtureEvents = 33;
constexpr int FixtureEventsBeforeLastBlock = 27;
constexpr int FixtureDurationMs = 3000;

void WriteFixtureBuild(const std::string& fileName, bool finish = true);

// A per-test temporary folder, removed by the destructor.
class TTempDir {
public:
    TTempDir();
    ~TTempDir();
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;
    std::string Path(const std::string& name) const { return dir + "/" + name; }

private:
    std::string dir;
};

} // namespace viewer_test
