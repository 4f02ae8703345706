#pragma once
// Builds the model of a build event by event, in stream order. Events that refer to
// a worker row or task that was never announced are taken as far as they make sense
// (a row is made up for an unknown worker) rather than dropped.
#include "viewer/BuildModel.h"

#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace packets {
class TPacket;
}

namespace viewer {

class TEventReplay {
public:
    explicit TEventReplay(TBuildModel& model) : model(model) {}

    void Apply(const packets::TPacket& event);

private:
    std::int32_t RowFor(const std::string& workerID, std::int32_t ms);
    std::int32_t MachineFor(const std::string& host, bool local);
    TGraphSet* SetFor(const std::string& rowID, std::int32_t setID);
    void EndTask(std::int32_t row, std::int32_t ms, bool lost, bool isDouble,
                 std::optional<std::int32_t> exitCode, std::int32_t errors, std::int32_t warnings);
    void AddOutput(std::int32_t ms, std::int32_t taskID, const std::string& text, bool error);
    void Seen(std::int32_t ms);
    // The index of a task's latest attempt in the model's tasks, or -1.
    std::int32_t LatestAttempt(std::int32_t taskID) const;
    void SetLatestAttempt(std::int32_t taskID, std::int32_t index);
    // The tasks (indexes) a begin step's status says the task waited for.
    std::vector<std::int32_t> Dependencies(std::string_view status) const;

    // How far beyond the table an ID may lie and still extend it.
    static constexpr std::size_t DenseGrowth = 4096;

    TBuildModel& model;
    std::unordered_map<std::string, std::int32_t> rowsByID;
    std::vector<std::int32_t> denseTasks;                     // latest attempt by task ID; -1: none
    std::unordered_map<std::int32_t, std::int32_t> tasksByID; // the other IDs

    std::map<std::pair<std::string, bool>, std::int32_t> machinesByHost;
    std::unordered_map<std::string, std::int32_t> graphsByID;
};

} // namespace viewer
