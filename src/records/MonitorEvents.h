#pragma once
// The monitor events a build system writes while a build runs, the records nested in
// them and the graph records, as field tables. Events travel in the compact form.
#include "records/AgentPackets.h"
#include "records/BuildPackets.h"

namespace records {

// Held in field 4 of the started event. Its producer never gave it fields; our
// build system writes it empty, and a stream that introduces it with fields is
// refused as an unsupported version.
struct TMonitorReservedPacket_Obsolete : packets::TPacket {
    RAVEL_PACKET(TMonitorReservedPacket_Obsolete, packets::TPacket, 0)
};

// Bits of graph colours and flags, carried unchanged.
enum class TGraphBit : std::uint8_t {};
using TGraphBits = packets::TSet<TGraphBit, 1>;
// Kind of a build-cache bar update, carried unchanged (no text form).
enum class TBCUpdateKind : std::uint8_t {};

struct TGraphDefPacket : packets::TPacket {
    std::string DisplayName;
    std::string Description;
    std::string Units;
    std::int32_t DivideBy{};
    std::int32_t DefaultScale{};
    TGraphBits Color;
    TGraphBits Flags;
    RAVEL_PACKET(TGraphDefPacket, packets::TPacket, 7)
};
using TGraphDefPacketList = packets::TPacketList<TGraphDefPacket>;

struct TGraphSetDefPacket : packets::TPacket {
    std::int32_t SetID{};
    std::string DisplayName;
    TGraphDefPacketList Graphs;
    TGraphBits Flags;
    RAVEL_PACKET(TGraphSetDefPacket, packets::TPacket, 4)
};

struct TGraphSamplePacket_Obsolete : packets::TPacket {
    std::int32_t SetID{};
    std::vector<std::int32_t> Values;
    RAVEL_PACKET(TGraphSamplePacket_Obsolete, packets::TPacket, 2)
};

struct TGraphSamplePacket : packets::TPacket {
    std::int32_t SetID{};
    std::vector<std::int64_t> Values;
    RAVEL_PACKET(TGraphSamplePacket, packets::TPacket, 2)
};
struct TMonitorEventStartedPacket : packets::TPacket {
    std::int32_t ms{};
    double StartTime{};
    TBuildFlags BuildFlags;
    double ReservedTime_Obsolete{};
    TMonitorReservedPacket_Obsolete ReservedRecord_Obsolete;
    std::string Caption;
    std::string PrimaryFileName;
    core::TGUID ID;
    std::string ComputerName;
    bool ReservedFlag_Obsolete{};
    bool IsMSBuilsProject_Obsolete{};
    RAVEL_PACKET(TMonitorEventStartedPacket, packets::TPacket, 11)
};

struct TMonitorEventCompletePacket : packets::TPacket {
    std::int32_t ms{};
    bool Cancel{};
    std::string Summary;
    bool Success{};
    std::int32_t SystemWarningCount{};
    std::int32_t SystemErrorCount{};
    std::int32_t ErrorCount{};
    std::int32_t WarningCount{};
    std::int32_t ExitCode{};
    RAVEL_PACKET(TMonitorEventCompletePacket, packets::TPacket, 9)
};

struct TMonitorEventSetMSBuildFlagPacket : packets::TPacket {
    std::int32_t ms{};
    bool IsMSBuildProject{};
    RAVEL_PACKET(TMonitorEventSetMSBuildFlagPacket, packets::TPacket, 2)
};

struct TMonitorEventBeginInitPacket : packets::TPacket {
    std::string WorkerID;
    std::string RowCaption;
    RAVEL_PACKET(TMonitorEventBeginInitPacket, packets::TPacket, 2)
};

struct TMonitorEventEndInitPacket : packets::TPacket {
    std::int32_t ms{};
    std::string WorkerID;
    std::int32_t Errors{};
    std::int32_t Warnings{};
    std::int32_t UseBuildCache{};
    RAVEL_PACKET(TMonitorEventEndInitPacket, packets::TPacket, 5)
};

struct TMonitorEventBeginFinalizePacket : packets::TPacket {
    std::int32_t ms{};
    std::string WorkerID;
    RAVEL_PACKET(TMonitorEventBeginFinalizePacket, packets::TPacket, 2)
};

struct TMonitorEventEndFinalizePacket : packets::TPacket {
    std::int32_t ms{};
    std::string WorkerID;
    RAVEL_PACKET(TMonitorEventEndFinalizePacket, packets::TPacket, 2)
};

struct TMonitorEventBeginCachingPacket : packets::TPacket {
    std::int32_t ms{};
    std::string WorkerID;
    RAVEL_PACKET(TMonitorEventBeginCachingPacket, packets::TPacket, 2)
};

struct TMonitorEventEndCachingPacket : packets::TPacket {
    std::int32_t ms{};
    std::string WorkerID;
    bool IsSuccess{};
    RAVEL_PACKET(TMonitorEventEndCachingPacket, packets::TPacket, 3)
};

struct TMonitorEventCountPacket : packets::TPacket {
    std::int32_t ms{};
    std::int32_t Built{};
    std::int32_t Skipped{};
    std::int32_t Errors{};
    std::int32_t Warnings{};
    RAVEL_PACKET(TMonitorEventCountPacket, packets::TPacket, 5)
};

struct TMonitorEventProjectCountPacket : packets::TPacket {
    std::int32_t ms{};
    std::int32_t ProjectIndex{};
    std::int32_t Built{};
    std::int32_t Skipped{};
    std::int32_t Errors{};
    std::int32_t Warnings{};
    RAVEL_PACKET(TMonitorEventProjectCountPacket, packets::TPacket, 6)
};

struct TMonitorEventMessagePacket : packets::TPacket {
    std::int32_t ms{};
    std::int32_t Kind{};
    double Now{};
    std::string Message;
    std::string Text;
    std::string Agent;
    std::string Project;
    std::int32_t Code{};
    RAVEL_PACKET(TMonitorEventMessagePacket, packets::TPacket, 8)
};

struct TMonitorEventOutputPacket : packets::TPacket {
    std::int32_t ms{};
    std::string Text;
    std::int32_t TaskID{};
    std::int32_t ErrorCount{};
    std::int32_t WarningCount{};
    bool CreateRegion{};
    std::string ErrText;
    RAVEL_PACKET(TMonitorEventOutputPacket, packets::TPacket, 7)
};

struct TMonitorEventProjectOutputPacket : packets::TPacket {
    std::int32_t ms{};
    std::int32_t ProjectIndex{};
    std::string Text;
    std::int32_t TaskID{};
    std::int32_t ErrorCount{};
    std::int32_t WarningCount{};
    bool CreateRegion{};
    RAVEL_PACKET(TMonitorEventProjectOutputPacket, packets::TPacket, 7)
};

struct TMonitorEventProjectOutOfOrderOutputPacket : packets::TPacket {
    std::int32_t ms{};
    std::int32_t ProjectIndex{};
    std::string Text;
    std::string ProcessName;
    std::int32_t TaskID{};
    std::int32_t ErrorCount{};
    std::int32_t WarningCount{};
    RAVEL_PACKET(TMonitorEventProjectOutOfOrderOutputPacket, packets::TPacket, 7)
};

struct TMonitorEventProjectCompletePacket : packets::TPacket {
    std::int32_t ms{};
    std::int32_t ProjectIndex{};
    RAVEL_PACKET(TMonitorEventProjectCompletePacket, packets::TPacket, 2)
};

struct TMonitorEventProjectPacket : packets::TPacket {
    std::string Name;
    std::string Filename;
    std::int32_t TaskCount{};
    bool Skip{};
    RAVEL_PACKET(TMonitorEventProjectPacket, packets::TPacket, 4)
};
using TMonitorEventProjectPacketList = packets::TPacketList<TMonitorEventProjectPacket>;

struct TMonitorEventProjectListPacket : packets::TPacket {
    std::int32_t ms{};
    std::int32_t TaskCount{};
    bool Hidden{};
    TMonitorEventProjectPacketList List;
    RAVEL_PACKET(TMonitorEventProjectListPacket, packets::TPacket, 4)
};

struct TMonitorEventEmployPacket : packets::TPacket {
    std::int32_t ms{};
    std::string ID;
    std::int32_t RowIndex{};
    TStaticPacket StaticInfo;
    std::string Caption;
    std::string Host;
    bool Local{};
    RAVEL_PACKET(TMonitorEventEmployPacket, packets::TPacket, 7)
};

struct TMonitorEventUnemployPacket : packets::TPacket {
    std::int32_t ms{};
    std::string ID;
    std::int32_t RowIndex{};
    RAVEL_PACKET(TMonitorEventUnemployPacket, packets::TPacket, 3)
};

struct TBuildCacheTaskInfo : packets::TPacket {
    std::u16string TaskSignature;
    std::u16string EnvBlockHash;
    std::u16string CmdlineHash;
    std::u16string SrcFileHash;
    RAVEL_PACKET(TBuildCacheTaskInfo, packets::TPacket, 4)
};

struct TMonitorEventBeginStepPacket_Obsolete : packets::TPacket {
    std::int32_t ms{};
    std::string WorkerID;
    std::string Hint;
    std::string Name;
    std::int32_t TaskID{};
    core::TGUID CmdGUID;
    std::string Source;
    bool DetailedLog{};
    bool Remote{};
    std::string Status;
    std::string CmdLine;
    std::string App;
    packets::TOptRecord<TBuildCacheTaskInfo> BuildCacheTaskInfo;
    RAVEL_PACKET(TMonitorEventBeginStepPacket_Obsolete, packets::TPacket, 13)
};

struct TMonitorEventBeginStepPacket : packets::TPacket {
    std::int32_t ms{};
    std::string WorkerID;
    std::string Hint;
    std::string Name;
    std::int32_t TaskID{};
    core::TGUID CmdGUID;
    std::string Source;
    bool DetailedLog{};
    bool Remote{};
    std::string Status;
    std::string CmdLine;
    std::string App;
    std::int32_t BuildCacheStatus{};
    RAVEL_PACKET(TMonitorEventBeginStepPacket, packets::TPacket, 13)
};

struct TMonitorEventBuildCacheRestorePacket : packets::TPacket {
    std::int32_t ms{};
    std::int32_t TaskID{};
    std::string App;
    std::string CmdLine;
    std::int32_t OriginalDuration{};
    RAVEL_PACKET(TMonitorEventBuildCacheRestorePacket, packets::TPacket, 5)
};

struct TMonitorEventEndStepPacket : packets::TPacket {
    std::int32_t ms{};
    std::string WorkerID;
    std::int32_t Errors{};
    std::int32_t Warnings{};
    bool Double{};
    bool ExitCodeExists{};
    std::int32_t ExitCode{};
    RAVEL_PACKET(TMonitorEventEndStepPacket, packets::TPacket, 7)
};

struct TMonitorEventStepFailedPacket : packets::TPacket {
    std::int32_t ms{};
    std::string WorkerID;
    RAVEL_PACKET(TMonitorEventStepFailedPacket, packets::TPacket, 2)
};

struct TMonitorEventModifyBarHintPacket : packets::TPacket {
    std::int32_t ms{};
    std::int32_t TaskID{};
    std::string NewHintText;
    std::int32_t InsertAtLine{};
    RAVEL_PACKET(TMonitorEventModifyBarHintPacket, packets::TPacket, 4)
};

struct TMonitorEventBeginBarPacket : packets::TPacket {
    std::int32_t ms{};
    std::string RowID;
    std::string RowCaption;
    std::string Name;
    std::string Hint;
    RAVEL_PACKET(TMonitorEventBeginBarPacket, packets::TPacket, 5)
};

struct TMonitorEventEndBarPacket : packets::TPacket {
    std::int32_t ms{};
    std::string RowID;
    RAVEL_PACKET(TMonitorEventEndBarPacket, packets::TPacket, 2)
};

struct TMonitorEventAddGraphRowPacket : packets::TPacket {
    std::int32_t ms{};
    std::string RowID;
    std::string DisplayName;
    std::int32_t DefaultHeight{};
    std::string FollowRowID;
    RAVEL_PACKET(TMonitorEventAddGraphRowPacket, packets::TPacket, 5)
};

struct TMonitorEventAddGraphSetPacket : packets::TPacket {
    std::int32_t ms{};
    std::string RowID;
    TGraphSetDefPacket SetDefinitionPacket;
    RAVEL_PACKET(TMonitorEventAddGraphSetPacket, packets::TPacket, 3)
};

struct TMonitorEventAddGraphSamplePacket_Obsolete : packets::TPacket {
    std::int32_t ms{};
    std::string RowID;
    TGraphSamplePacket_Obsolete SamplePacket;
    RAVEL_PACKET(TMonitorEventAddGraphSamplePacket_Obsolete, packets::TPacket, 3)
};

struct TMonitorEventAddGraphSamplePacket : packets::TPacket {
    std::int32_t ms{};
    std::string RowID;
    TGraphSamplePacket SamplePacket;
    RAVEL_PACKET(TMonitorEventAddGraphSamplePacket, packets::TPacket, 3)
};

struct TMonitorEventCloseBrowseDBPacket : packets::TPacket {
    std::int32_t ms{};
    RAVEL_PACKET(TMonitorEventCloseBrowseDBPacket, packets::TPacket, 1)
};

struct TMonitorEventSummaryPacket_Obsolete : packets::TPacket {
    std::int32_t ms{};
    std::string Line1;
    std::string Prop;
    std::string Line2;
    RAVEL_PACKET(TMonitorEventSummaryPacket_Obsolete, packets::TPacket, 4)
};

struct TMonitorEventSummaryPacket_Obsolete2 : packets::TPacket {
    std::int32_t ms{};
    std::string PrintRule;
    core::TStringListEx LineValues;
    RAVEL_PACKET(TMonitorEventSummaryPacket_Obsolete2, packets::TPacket, 3)
};

struct TMonitorEventBCDetailsPacket : packets::TPacket {
    std::int32_t ms{};
    std::int32_t TaskID{};
    std::string Text;
    RAVEL_PACKET(TMonitorEventBCDetailsPacket, packets::TPacket, 3)
};

struct TMonitorEventBCBarUpdatePacket : packets::TPacket {
    std::int32_t ms{};
    TBCUpdateKind UpdateKind;
    std::int32_t Checks{};
    std::int32_t Retrievals{};
    std::int32_t Updates{};
    std::int64_t FetchDuration{};
    std::int64_t SubmitDuration{};
    std::int64_t StopTime{};
    RAVEL_PACKET(TMonitorEventBCBarUpdatePacket, packets::TPacket, 8)
};

struct TMonitorEventBuildCacheSummaryPacket : packets::TPacket {
    std::int32_t ms{};
    core::TStringListEx Lines;
    RAVEL_PACKET(TMonitorEventBuildCacheSummaryPacket, packets::TPacket, 2)
};

// Events made by a producer or by the console itself, from all their values.
std::unique_ptr<TMonitorEventMessagePacket> NewMessageEvent(std::int32_t ms, std::int32_t kind,
                                                            double now, std::string message,
                                                            std::string text, std::string agent,
                                                            std::string project, std::int32_t code);
std::unique_ptr<TMonitorEventCompletePacket>
NewCompleteEvent(std::int32_t ms, bool cancel, std::string summary, bool success,
                 std::int32_t systemWarningCount, std::int32_t systemErrorCount,
                 std::int32_t errorCount, std::int32_t warningCount, std::int32_t exitCode);
std::unique_ptr<TMonitorEventBCBarUpdatePacket>
NewBCBarUpdateEvent(std::int32_t ms, TBCUpdateKind updateKind, std::int32_t checks,
                    std::int32_t retrievals, std::int32_t updates, std::int64_t fetchDuration,
                    std::int64_t submitDuration, std::int64_t stopTime);

// "1 build system error(s), 0 error(s), 0 warning(s)": system parts only when above
// 0; the error and warning parts unless `systemOnly`.
std::string BuildSummaryText(std::int32_t systemErrors, std::int32_t systemWarnings,
                             std::int32_t errors, std::int32_t warnings, bool systemOnly = false);

void RegisterMonitorEventPackets();
void RegisterGraphPackets();

} // namespace records
