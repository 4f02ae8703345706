#pragma once
// A second, local attempt of a task that runs on a helper: the build runs it itself as a
// child (a process group of its own that dies with the build, at the lowest priority), with the
// environment the task's launcher would give the tool here and the files renamed by
// DoubleCommandOf. Its output is kept until the build knows which attempt won; a won attempt's
// files are renamed over the real ones, a lost or dropped one's are removed.
#include "buildsys/DoubleCommand.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace platform {
class TChildProcess;
class TPipeEnd;
} // namespace platform

namespace buildsys {

class TDoubleRun {
public:
    // The reserved temporary name beside `real` (relative to `cwd` when not absolute):
    // a new file created exclusively and removed again, so the tool creates it as it
    // would create the real one; empty when none could be reserved.
    // True when `real` (relative to `cwd`) is a plain file or absent, so that a rename
    // may put another file there.
    static bool MayReplace(const std::string& cwd, const std::string& real);
    static std::string ReserveBeside(const std::string& cwd, const std::string& real);

    // Starts `tool` with `command` in `cwd`; none (its files removed) when it cannot start.
    static std::unique_ptr<TDoubleRun> Start(const std::string& tool, TDoubleCommand command,
                                             const std::string& cwd,
                                             const std::vector<std::string>& env);
    // Kills a run that still goes and removes its files unless they were committed.
    ~TDoubleRun();
    TDoubleRun(const TDoubleRun&) = delete;
    TDoubleRun& operator=(const TDoubleRun&) = delete;

    // Its exit status once it has ended and its output is complete; none before.
    std::optional<int> Ended(std::uint32_t waitMs);
    // What it wrote: (stream 1 or 2, bytes) in the order read.
    std::vector<std::pair<int, std::string>> Output();
    // Renames its files over the real ones; false with the reason when one fails.
    bool Commit(std::string& error);
    // Ends its process group at once and waits for it; its exit status.
    int Kill();

private:
    TDoubleRun() = default;
    void Collect(int stream, platform::TPipeEnd& pipe);
    std::string PathOf(const std::string& name) const;

    std::string cwd;
    TDoubleCommand command;
    std::unique_ptr<platform::TChildProcess> child;
    std::unique_ptr<platform::TPipeEnd> outRead;
    std::unique_ptr<platform::TPipeEnd> errRead;
    std::thread outThread;
    std::thread errThread;
    std::mutex mutex;
    std::vector<std::pair<int, std::string>> output;
    std::optional<int> status;
    bool committed = false;
};

} // namespace buildsys
