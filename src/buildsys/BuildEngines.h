#pragma once
// The engines that every build running tasks on the scheduler uses, set up one way
// for all of them: distribution to the helpers the agent knows (their worker rows, the
// distcc engine, helpers employed while their probes answer) and the build cache
// around it.
//
// Use: HelperRows before the scheduler exists (its rows are this machine's, then
// these), Start once it does, RowEmployment from the scheduler's sink, Tick while the
// build runs, Finish at its end (the cache summary and each helper's count).
#include "buildsys/CacheEngine.h"
#include "buildsys/DistccEngine.h"
#include "buildsys/Scheduler.h"
#include "proxy/HelperState.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace buildsys {

class TBuildEngines {
public:
    using TAdd = std::function<void(const packets::TPacket&)>;
    // `add` must be safe from any thread. `buildID` names the build's private folders.
    TBuildEngines(std::string agentFolder, std::string buildID, TBuildCacheSetup cache, TAdd add,
                  std::function<std::int32_t()> ms);
    ~TBuildEngines();
    TBuildEngines(const TBuildEngines&) = delete;
    TBuildEngines& operator=(const TBuildEngines&) = delete;

    // The rows of the agent's helpers, at most `room`; why they are unknown goes to
    // `warnings`.
    std::vector<TWorkerRow> HelperRows(std::int32_t room, std::vector<std::string>& warnings);
    // The engines in the order they wrap a task: distribution (with helper rows), then
    // the cache. Employs the helpers that answer and tells about the others.
    std::vector<TTaskEngine*> Start(TScheduler& scheduler);
    // The employ or unemploy event of a helper row.
    void RowEmployment(std::int32_t index, const TWorkerRow& row, bool on,
                       const std::string& reason);
    // Employs helpers that answer again, at most once a second.
    void Tick(std::uint64_t now);
    // The cache summary and each helper's count; the distcc folder goes.
    void Finish();

    TCacheEngine& Cache() { return *cache; }
    bool Distributing() const { return distcc != nullptr; }

private:
    void EmployHelpers(const build::THelperState& state, bool announce);
    void Message(const std::string& text);

    const std::string agentFolder;
    const std::string buildID;
    TAdd add;
    std::function<std::int32_t()> ms;
    std::unique_ptr<TCacheEngine> cache;
    TScheduler* scheduler = nullptr;
    std::string helperStatePath;
    std::optional<build::THelperState> helperState;
    std::string distccDir;
    std::unique_ptr<TDistccEngine> distcc;
    std::vector<TWorkerRow> helperRows;
    std::map<std::string, std::int64_t> helperDownAt; // helper -> when this build lost it
    std::uint64_t nextHelperCheck = 0;
    bool finished = false;
};

} // namespace buildsys
