#pragma once
// An engine that takes part in running a granted task (distribution, build cache): it
// adds the words run before the tool and the environment the tool gets, and learns how
// the task ended. Engines are applied in order, each around what the ones before it
// made, so an outer engine (the cache) can hand an inner one (distribution) to its tool.
#include "buildsys/Scheduler.h"

#include <map>
#include <string>
#include <vector>

namespace buildsys {

// The command a launcher runs for a granted task: Prefix words, then the real tool.
struct TTaskCommand {
    std::vector<std::string> Prefix;
    std::map<std::string, std::string> Env;
    // The tool's environment variables whose values are written to KeyFile (a new
    // private file) before the tool runs: the cache engine hashes that file.
    std::vector<std::string> KeyVariables;
    std::string KeyFile;
    // No second local attempt: it would run the bare tool and miss what the engine does
    // (a cached compile's result would not be stored, its outcome not read).
    bool Single = false;
};

class TTaskEngine {
public:
    virtual ~TTaskEngine() = default;
    // Shapes the command of `task`, granted on `row`.
    virtual void Wrap(const TRunningTask& task, const TWorkerRow& row, TTaskCommand& command) = 0;
    // The task ended as its launcher reports (`cache` is the launcher's engine outcome text).
    virtual void Ended(const TRunningTask& task, const TWorkerRow& row, const TTaskOutcome& outcome,
                       const std::string& cache) {
        (void)task;
        (void)row;
        (void)outcome;
        (void)cache;
    }
};

} // namespace buildsys
