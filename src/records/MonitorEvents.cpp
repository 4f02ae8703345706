#include "records/MonitorEvents.h"

namespace records {

using namespace packets::fields;

RAVEL_PACKET_TABLE_EMPTY(TMonitorReservedPacket_Obsolete, "{0CCB686F-FEB8-4577-807B-6ABA2DAC93DF}")

RAVEL_PACKET_TABLE(TGraphDefPacket, "{7818CC3F-04D2-4DA8-A00D-4BD7916AD414}",
                   String<&TGraphDefPacket::DisplayName>("DisplayName"),
                   String<&TGraphDefPacket::Description>("Description"),
                   String<&TGraphDefPacket::Units>("Units"),
                   Int32<&TGraphDefPacket::DivideBy>("DivideBy"),
                   Int32<&TGraphDefPacket::DefaultScale>("DefaultScale"),
                   Set<&TGraphDefPacket::Color>("Color"), Set<&TGraphDefPacket::Flags>("Flags"))

RAVEL_PACKET_TABLE(TGraphSetDefPacket, "{AB4749D3-69EA-4EB1-B96E-20BACE20CFF4}",
                   Int32<&TGraphSetDefPacket::SetID>("SetID"),
                   String<&TGraphSetDefPacket::DisplayName>("DisplayName"),
                   List<&TGraphSetDefPacket::Graphs>("Graphs"),
                   Set<&TGraphSetDefPacket::Flags>("Flags"))

RAVEL_PACKET_TABLE(TGraphSamplePacket_Obsolete, "{F161EDA3-3C2E-47C2-936F-7F1C930F1103}",
                   Int32<&TGraphSamplePacket_Obsolete::SetID>("SetID"),
                   Int32List<&TGraphSamplePacket_Obsolete::Values>("Values"))

RAVEL_PACKET_TABLE(TGraphSamplePacket, "{71262695-8D72-4F54-A5F4-C0130DEDEFF7}",
                   Int32<&TGraphSamplePacket::SetID>("SetID"),
                   Int64List<&TGraphSamplePacket::Values>("Values"))
RAVEL_PACKET_TABLE(
    TMonitorEventStartedPacket, "{2B1EDE84-8DFA-4D06-B3D1-8499AB4EA592}",
    Int32<&TMonitorEventStartedPacket::ms>("ms"),
    DateTime<&TMonitorEventStartedPacket::StartTime>("StartTime"),
    Set<&TMonitorEventStartedPacket::BuildFlags>("BuildFlags"),
    DateTime<&TMonitorEventStartedPacket::ReservedTime_Obsolete>("ReservedTime_Obsolete"),
    Record<&TMonitorEventStartedPacket::ReservedRecord_Obsolete>("ReservedRecord_Obsolete"),
    String<&TMonitorEventStartedPacket::Caption>("Caption"),
    String<&TMonitorEventStartedPacket::PrimaryFileName>("PrimaryFileName"),
    Guid<&TMonitorEventStartedPacket::ID>("ID"),
    String<&TMonitorEventStartedPacket::ComputerName>("ComputerName"),
    Bool<&TMonitorEventStartedPacket::ReservedFlag_Obsolete>("ReservedFlag_Obsolete"),
    Bool<&TMonitorEventStartedPacket::IsMSBuilsProject_Obsolete>("IsMSBuilsProject_Obsolete"))

RAVEL_PACKET_TABLE(TMonitorEventCompletePacket, "{1A69A620-5579-4A3F-88B0-ACCA61FCB796}",
                   Int32<&TMonitorEventCompletePacket::ms>("ms"),
                   Bool<&TMonitorEventCompletePacket::Cancel>("Cancel"),
                   String<&TMonitorEventCompletePacket::Summary>("Summary"),
                   Bool<&TMonitorEventCompletePacket::Success>("Success"),
                   Compact<&TMonitorEventCompletePacket::SystemWarningCount>("SystemWarningCount"),
                   Compact<&TMonitorEventCompletePacket::SystemErrorCount>("SystemErrorCount"),
                   Compact<&TMonitorEventCompletePacket::ErrorCount>("ErrorCount"),
                   Compact<&TMonitorEventCompletePacket::WarningCount>("WarningCount"),
                   Int32<&TMonitorEventCompletePacket::ExitCode>("ExitCode"))

RAVEL_PACKET_TABLE(TMonitorEventSetMSBuildFlagPacket, "{4F7808E4-3236-4E88-BA56-6DA7DC0A0B5B}",
                   Int32<&TMonitorEventSetMSBuildFlagPacket::ms>("ms"),
                   Bool<&TMonitorEventSetMSBuildFlagPacket::IsMSBuildProject>("IsMSBuildProject"))

RAVEL_PACKET_TABLE(TMonitorEventBeginInitPacket, "{CF7CAC24-24EA-4F18-A05D-F719C0603DE8}",
                   String<&TMonitorEventBeginInitPacket::WorkerID>("WorkerID"),
                   String<&TMonitorEventBeginInitPacket::RowCaption>("RowCaption"))

RAVEL_PACKET_TABLE(TMonitorEventEndInitPacket, "{E28BD79B-D6E3-4736-92CB-E1A1DD2208D5}",
                   Int32<&TMonitorEventEndInitPacket::ms>("ms"),
                   String<&TMonitorEventEndInitPacket::WorkerID>("WorkerID"),
                   Int32<&TMonitorEventEndInitPacket::Errors>("Errors"),
                   Int32<&TMonitorEventEndInitPacket::Warnings>("Warnings"),
                   Int32<&TMonitorEventEndInitPacket::UseBuildCache>("UseBuildCache").Default(-2))

RAVEL_PACKET_TABLE(TMonitorEventBeginFinalizePacket, "{4D435ACF-A922-4FFE-B217-E38F486F9B00}",
                   Int32<&TMonitorEventBeginFinalizePacket::ms>("ms"),
                   String<&TMonitorEventBeginFinalizePacket::WorkerID>("WorkerID"))

RAVEL_PACKET_TABLE(TMonitorEventEndFinalizePacket, "{9FDFB275-F2A4-4B81-A471-BB1E54172D95}",
                   Int32<&TMonitorEventEndFinalizePacket::ms>("ms"),
                   String<&TMonitorEventEndFinalizePacket::WorkerID>("WorkerID"))

RAVEL_PACKET_TABLE(TMonitorEventBeginCachingPacket, "{03EE2489-6AF7-44D5-848F-AC8D77A9655A}",
                   Int32<&TMonitorEventBeginCachingPacket::ms>("ms"),
                   String<&TMonitorEventBeginCachingPacket::WorkerID>("WorkerID"))

RAVEL_PACKET_TABLE(TMonitorEventEndCachingPacket, "{31C1AADB-FD5D-4B86-ACE1-05E4242E5ED6}",
                   Int32<&TMonitorEventEndCachingPacket::ms>("ms"),
                   String<&TMonitorEventEndCachingPacket::WorkerID>("WorkerID"),
                   Bool<&TMonitorEventEndCachingPacket::IsSuccess>("IsSuccess"))

RAVEL_PACKET_TABLE(TMonitorEventCountPacket, "{FDAFDDC3-45C6-4906-ADE8-9D572EA400B5}",
                   Int32<&TMonitorEventCountPacket::ms>("ms"),
                   Int32<&TMonitorEventCountPacket::Built>("Built"),
                   Int32<&TMonitorEventCountPacket::Skipped>("Skipped"),
                   Int32<&TMonitorEventCountPacket::Errors>("Errors").Default(-1),
                   Int32<&TMonitorEventCountPacket::Warnings>("Warnings").Default(-1))

RAVEL_PACKET_TABLE(TMonitorEventProjectCountPacket, "{6A1A523C-8E43-45AB-9313-3AA6FD16CB5E}",
                   Int32<&TMonitorEventProjectCountPacket::ms>("ms"),
                   Compact<&TMonitorEventProjectCountPacket::ProjectIndex>("ProjectIndex"),
                   Int32<&TMonitorEventProjectCountPacket::Built>("Built"),
                   Int32<&TMonitorEventProjectCountPacket::Skipped>("Skipped"),
                   Int32<&TMonitorEventProjectCountPacket::Errors>("Errors"),
                   Int32<&TMonitorEventProjectCountPacket::Warnings>("Warnings"))

RAVEL_PACKET_TABLE(TMonitorEventMessagePacket, "{0842413D-FFCD-48A7-8E27-644DA45AA919}",
                   Int32<&TMonitorEventMessagePacket::ms>("ms"),
                   Int32<&TMonitorEventMessagePacket::Kind>("Kind"),
                   DateTime<&TMonitorEventMessagePacket::Now>("Now"),
                   String<&TMonitorEventMessagePacket::Message>("Message"),
                   String<&TMonitorEventMessagePacket::Text>("Text"),
                   String<&TMonitorEventMessagePacket::Agent>("Agent"),
                   String<&TMonitorEventMessagePacket::Project>("Project"),
                   Int32<&TMonitorEventMessagePacket::Code>("Code"))

RAVEL_PACKET_TABLE(TMonitorEventOutputPacket, "{DCF0DAA3-40C7-4D28-AF9B-9B0C43BCBE70}",
                   Int32<&TMonitorEventOutputPacket::ms>("ms"),
                   String<&TMonitorEventOutputPacket::Text>("Text"),
                   Int32<&TMonitorEventOutputPacket::TaskID>("TaskID"),
                   Int32<&TMonitorEventOutputPacket::ErrorCount>("ErrorCount"),
                   Int32<&TMonitorEventOutputPacket::WarningCount>("WarningCount"),
                   Bool<&TMonitorEventOutputPacket::CreateRegion>("CreateRegion").Default(1),
                   String<&TMonitorEventOutputPacket::ErrText>("ErrText"))

RAVEL_PACKET_TABLE(TMonitorEventProjectOutputPacket, "{82BBFB93-E4BF-4740-8A2A-3E587D67902C}",
                   Int32<&TMonitorEventProjectOutputPacket::ms>("ms"),
                   Compact<&TMonitorEventProjectOutputPacket::ProjectIndex>("ProjectIndex"),
                   String<&TMonitorEventProjectOutputPacket::Text>("Text"),
                   Int32<&TMonitorEventProjectOutputPacket::TaskID>("TaskID"),
                   Compact<&TMonitorEventProjectOutputPacket::ErrorCount>("ErrorCount"),
                   Compact<&TMonitorEventProjectOutputPacket::WarningCount>("WarningCount"),
                   Bool<&TMonitorEventProjectOutputPacket::CreateRegion>("CreateRegion").Default(1))

RAVEL_PACKET_TABLE(
    TMonitorEventProjectOutOfOrderOutputPacket, "{DF66BC78-B498-4B1B-AA6B-7213486587BB}",
    Int32<&TMonitorEventProjectOutOfOrderOutputPacket::ms>("ms"),
    Compact<&TMonitorEventProjectOutOfOrderOutputPacket::ProjectIndex>("ProjectIndex"),
    String<&TMonitorEventProjectOutOfOrderOutputPacket::Text>("Text"),
    String<&TMonitorEventProjectOutOfOrderOutputPacket::ProcessName>("ProcessName"),
    Int32<&TMonitorEventProjectOutOfOrderOutputPacket::TaskID>("TaskID"),
    Compact<&TMonitorEventProjectOutOfOrderOutputPacket::ErrorCount>("ErrorCount"),
    Compact<&TMonitorEventProjectOutOfOrderOutputPacket::WarningCount>("WarningCount"))

RAVEL_PACKET_TABLE(TMonitorEventProjectCompletePacket, "{6FFCCF27-8329-4B27-8DEB-4C7403F0A0B3}",
                   Int32<&TMonitorEventProjectCompletePacket::ms>("ms"),
                   Compact<&TMonitorEventProjectCompletePacket::ProjectIndex>("ProjectIndex"))

RAVEL_PACKET_TABLE(TMonitorEventProjectPacket, "{17F6523D-832A-466D-A9B6-6F63B2A13DB7}",
                   String<&TMonitorEventProjectPacket::Name>("Name"),
                   String<&TMonitorEventProjectPacket::Filename>("Filename"),
                   Compact<&TMonitorEventProjectPacket::TaskCount>("TaskCount"),
                   Bool<&TMonitorEventProjectPacket::Skip>("Skip"))

RAVEL_PACKET_TABLE(TMonitorEventProjectListPacket, "{77C96357-0D76-4161-BDEA-C3B27781D7D6}",
                   Int32<&TMonitorEventProjectListPacket::ms>("ms"),
                   Compact<&TMonitorEventProjectListPacket::TaskCount>("TaskCount"),
                   Bool<&TMonitorEventProjectListPacket::Hidden>("Hidden"),
                   List<&TMonitorEventProjectListPacket::List>("List"))

RAVEL_PACKET_TABLE(TMonitorEventEmployPacket, "{F63DBBA1-16A4-4D8A-B772-6A4138F877CC}",
                   Int32<&TMonitorEventEmployPacket::ms>("ms"),
                   String<&TMonitorEventEmployPacket::ID>("ID"),
                   Int32<&TMonitorEventEmployPacket::RowIndex>("RowIndex"),
                   Record<&TMonitorEventEmployPacket::StaticInfo>("StaticInfo"),
                   String<&TMonitorEventEmployPacket::Caption>("Caption"),
                   String<&TMonitorEventEmployPacket::Host>("Host"),
                   Bool<&TMonitorEventEmployPacket::Local>("Local"))

RAVEL_PACKET_TABLE(TMonitorEventUnemployPacket, "{5CDE534D-B7B3-40F7-B0D4-B2BC04C90FF4}",
                   Int32<&TMonitorEventUnemployPacket::ms>("ms"),
                   String<&TMonitorEventUnemployPacket::ID>("ID"),
                   Compact<&TMonitorEventUnemployPacket::RowIndex>("RowIndex"))

RAVEL_PACKET_TABLE(TBuildCacheTaskInfo, "{0FD35AF1-4A22-40AF-9E96-3342B8B2807E}",
                   WString<&TBuildCacheTaskInfo::TaskSignature>("TaskSignature"),
                   WString<&TBuildCacheTaskInfo::EnvBlockHash>("EnvBlockHash"),
                   WString<&TBuildCacheTaskInfo::CmdlineHash>("CmdlineHash"),
                   WString<&TBuildCacheTaskInfo::SrcFileHash>("SrcFileHash"))

RAVEL_PACKET_TABLE(
    TMonitorEventBeginStepPacket_Obsolete, "{8D6F4346-BC8D-47F2-8370-E2A71FF89B01}",
    Int32<&TMonitorEventBeginStepPacket_Obsolete::ms>("ms"),
    String<&TMonitorEventBeginStepPacket_Obsolete::WorkerID>("WorkerID"),
    String<&TMonitorEventBeginStepPacket_Obsolete::Hint>("Hint"),
    String<&TMonitorEventBeginStepPacket_Obsolete::Name>("Name"),
    Int32<&TMonitorEventBeginStepPacket_Obsolete::TaskID>("TaskID"),
    Guid<&TMonitorEventBeginStepPacket_Obsolete::CmdGUID>("CmdGUID"),
    String<&TMonitorEventBeginStepPacket_Obsolete::Source>("Source"),
    Bool<&TMonitorEventBeginStepPacket_Obsolete::DetailedLog>("DetailedLog"),
    Bool<&TMonitorEventBeginStepPacket_Obsolete::Remote>("Remote"),
    String<&TMonitorEventBeginStepPacket_Obsolete::Status>("Status"),
    String<&TMonitorEventBeginStepPacket_Obsolete::CmdLine>("CmdLine"),
    String<&TMonitorEventBeginStepPacket_Obsolete::App>("App"),
    OptRecord<&TMonitorEventBeginStepPacket_Obsolete::BuildCacheTaskInfo>("BuildCacheTaskInfo"))

RAVEL_PACKET_TABLE(TMonitorEventBeginStepPacket, "{BE120465-CEAE-46B8-999F-3541292C9F1B}",
                   Int32<&TMonitorEventBeginStepPacket::ms>("ms"),
                   String<&TMonitorEventBeginStepPacket::WorkerID>("WorkerID"),
                   String<&TMonitorEventBeginStepPacket::Hint>("Hint"),
                   String<&TMonitorEventBeginStepPacket::Name>("Name"),
                   Int32<&TMonitorEventBeginStepPacket::TaskID>("TaskID"),
                   Guid<&TMonitorEventBeginStepPacket::CmdGUID>("CmdGUID"),
                   String<&TMonitorEventBeginStepPacket::Source>("Source"),
                   Bool<&TMonitorEventBeginStepPacket::DetailedLog>("DetailedLog"),
                   Bool<&TMonitorEventBeginStepPacket::Remote>("Remote"),
                   String<&TMonitorEventBeginStepPacket::Status>("Status"),
                   String<&TMonitorEventBeginStepPacket::CmdLine>("CmdLine"),
                   String<&TMonitorEventBeginStepPacket::App>("App"),
                   Int32<&TMonitorEventBeginStepPacket::BuildCacheStatus>("BuildCacheStatus"))

RAVEL_PACKET_TABLE(
    TMonitorEventBuildCacheRestorePacket, "{6D7F264C-EF8A-4D3D-8B1F-10E985773BF8}",
    Int32<&TMonitorEventBuildCacheRestorePacket::ms>("ms"),
    Int32<&TMonitorEventBuildCacheRestorePacket::TaskID>("TaskID"),
    String<&TMonitorEventBuildCacheRestorePacket::App>("App"),
    String<&TMonitorEventBuildCacheRestorePacket::CmdLine>("CmdLine"),
    Int32<&TMonitorEventBuildCacheRestorePacket::OriginalDuration>("OriginalDuration"))

RAVEL_PACKET_TABLE(TMonitorEventEndStepPacket, "{8052D420-74D9-4218-91FF-CF9A8BE2A6A7}",
                   Int32<&TMonitorEventEndStepPacket::ms>("ms"),
                   String<&TMonitorEventEndStepPacket::WorkerID>("WorkerID"),
                   Compact<&TMonitorEventEndStepPacket::Errors>("Errors"),
                   Compact<&TMonitorEventEndStepPacket::Warnings>("Warnings"),
                   Bool<&TMonitorEventEndStepPacket::Double>("Double"),
                   Bool<&TMonitorEventEndStepPacket::ExitCodeExists>("ExitCodeExists"),
                   Int32<&TMonitorEventEndStepPacket::ExitCode>("ExitCode"))

RAVEL_PACKET_TABLE(TMonitorEventStepFailedPacket, "{AB5B11B2-3EB4-481B-8D1B-BBFACCC94D54}",
                   Int32<&TMonitorEventStepFailedPacket::ms>("ms"),
                   String<&TMonitorEventStepFailedPacket::WorkerID>("WorkerID"))

RAVEL_PACKET_TABLE(TMonitorEventModifyBarHintPacket, "{E86CDCAF-C0DC-4681-9B1C-E4F44CBAE841}",
                   Int32<&TMonitorEventModifyBarHintPacket::ms>("ms"),
                   Int32<&TMonitorEventModifyBarHintPacket::TaskID>("TaskID"),
                   String<&TMonitorEventModifyBarHintPacket::NewHintText>("NewHintText"),
                   Int32<&TMonitorEventModifyBarHintPacket::InsertAtLine>("InsertAtLine"))

RAVEL_PACKET_TABLE(TMonitorEventBeginBarPacket, "{5BC1C6E8-A4F7-40C4-A655-19FEB7BF7722}",
                   Int32<&TMonitorEventBeginBarPacket::ms>("ms"),
                   String<&TMonitorEventBeginBarPacket::RowID>("RowID"),
                   String<&TMonitorEventBeginBarPacket::RowCaption>("RowCaption"),
                   String<&TMonitorEventBeginBarPacket::Name>("Name"),
                   String<&TMonitorEventBeginBarPacket::Hint>("Hint"))

RAVEL_PACKET_TABLE(TMonitorEventEndBarPacket, "{D8E8C761-B673-4D8F-86A3-D07ED712B11F}",
                   Int32<&TMonitorEventEndBarPacket::ms>("ms"),
                   String<&TMonitorEventEndBarPacket::RowID>("RowID"))

RAVEL_PACKET_TABLE(TMonitorEventAddGraphRowPacket, "{6CC7BED0-9940-446F-8409-13D91945855E}",
                   Int32<&TMonitorEventAddGraphRowPacket::ms>("ms"),
                   String<&TMonitorEventAddGraphRowPacket::RowID>("RowID"),
                   String<&TMonitorEventAddGraphRowPacket::DisplayName>("DisplayName"),
                   Compact<&TMonitorEventAddGraphRowPacket::DefaultHeight>("DefaultHeight"),
                   String<&TMonitorEventAddGraphRowPacket::FollowRowID>("FollowRowID"))

RAVEL_PACKET_TABLE(
    TMonitorEventAddGraphSetPacket, "{94F07939-3CE8-44D8-AFE0-86ACE5CFBA04}",
    Int32<&TMonitorEventAddGraphSetPacket::ms>("ms"),
    String<&TMonitorEventAddGraphSetPacket::RowID>("RowID"),
    Record<&TMonitorEventAddGraphSetPacket::SetDefinitionPacket>("SetDefinitionPacket"))

RAVEL_PACKET_TABLE(
    TMonitorEventAddGraphSamplePacket_Obsolete, "{47DFD582-41CE-471A-ADD0-B78DB6D2C40E}",
    Int32<&TMonitorEventAddGraphSamplePacket_Obsolete::ms>("ms"),
    String<&TMonitorEventAddGraphSamplePacket_Obsolete::RowID>("RowID"),
    Record<&TMonitorEventAddGraphSamplePacket_Obsolete::SamplePacket>("SamplePacket"))

RAVEL_PACKET_TABLE(TMonitorEventAddGraphSamplePacket, "{00165BCE-024A-4151-912C-0DA6EFC56DE3}",
                   Int32<&TMonitorEventAddGraphSamplePacket::ms>("ms"),
                   String<&TMonitorEventAddGraphSamplePacket::RowID>("RowID"),
                   Record<&TMonitorEventAddGraphSamplePacket::SamplePacket>("SamplePacket"))

RAVEL_PACKET_TABLE(TMonitorEventCloseBrowseDBPacket, "{D2FE15B2-9767-46CB-8450-800C16FD7B79}",
                   Int32<&TMonitorEventCloseBrowseDBPacket::ms>("ms"))

RAVEL_PACKET_TABLE(TMonitorEventSummaryPacket_Obsolete, "{89A782B4-65ED-44A1-9202-0B27E25EB3CE}",
                   Int32<&TMonitorEventSummaryPacket_Obsolete::ms>("ms"),
                   String<&TMonitorEventSummaryPacket_Obsolete::Line1>("Line1"),
                   String<&TMonitorEventSummaryPacket_Obsolete::Prop>("Prop"),
                   String<&TMonitorEventSummaryPacket_Obsolete::Line2>("Line2"))

RAVEL_PACKET_TABLE(TMonitorEventSummaryPacket_Obsolete2, "{6BA6B35A-42A1-42FA-84B3-131E887C6B94}",
                   Int32<&TMonitorEventSummaryPacket_Obsolete2::ms>("ms"),
                   String<&TMonitorEventSummaryPacket_Obsolete2::PrintRule>("PrintRule"),
                   Strings<&TMonitorEventSummaryPacket_Obsolete2::LineValues>("LineValues"))

RAVEL_PACKET_TABLE(TMonitorEventBCDetailsPacket, "{54C235B7-2E08-42F2-BFEC-0331287991AA}",
                   Int32<&TMonitorEventBCDetailsPacket::ms>("ms"),
                   Int32<&TMonitorEventBCDetailsPacket::TaskID>("TaskID").Default(-1),
                   String<&TMonitorEventBCDetailsPacket::Text>("Text"))

RAVEL_PACKET_TABLE(TMonitorEventBCBarUpdatePacket, "{FDCB690A-3B75-4EF2-820E-2506EA34D65D}",
                   Int32<&TMonitorEventBCBarUpdatePacket::ms>("ms"),
                   Byte<&TMonitorEventBCBarUpdatePacket::UpdateKind>("UpdateKind"),
                   Int32<&TMonitorEventBCBarUpdatePacket::Checks>("Checks"),
                   Int32<&TMonitorEventBCBarUpdatePacket::Retrievals>("Retrievals"),
                   Int32<&TMonitorEventBCBarUpdatePacket::Updates>("Updates"),
                   Int64<&TMonitorEventBCBarUpdatePacket::FetchDuration>("FetchDuration"),
                   Int64<&TMonitorEventBCBarUpdatePacket::SubmitDuration>("SubmitDuration"),
                   Int64<&TMonitorEventBCBarUpdatePacket::StopTime>("StopTime"))

RAVEL_PACKET_TABLE(TMonitorEventBuildCacheSummaryPacket, "{F7D10692-0C8B-4718-8A93-1DB9F2645CD5}",
                   Int32<&TMonitorEventBuildCacheSummaryPacket::ms>("ms"),
                   Strings<&TMonitorEventBuildCacheSummaryPacket::Lines>("Lines"))
std::unique_ptr<TMonitorEventMessagePacket>
NewMessageEvent(std::int32_t ms, std::int32_t kind, double now, std::string message,
                std::string text, std::string agent, std::string project, std::int32_t code) {
    auto e = std::make_unique<TMonitorEventMessagePacket>();
    e->ms = ms;
    e->Kind = kind;
    e->Now = now;
    e->Message = std::move(message);
    e->Text = std::move(text);
    e->Agent = std::move(agent);
    e->Project = std::move(project);
    e->Code = code;
    return e;
}

std::unique_ptr<TMonitorEventCompletePacket>
NewCompleteEvent(std::int32_t ms, bool cancel, std::string summary, bool success,
                 std::int32_t systemWarningCount, std::int32_t systemErrorCount,
                 std::int32_t errorCount, std::int32_t warningCount, std::int32_t exitCode) {
    auto e = std::make_unique<TMonitorEventCompletePacket>();
    e->ms = ms;
    e->Cancel = cancel;
    e->Summary = std::move(summary);
    e->Success = success;
    e->SystemWarningCount = systemWarningCount;
    e->SystemErrorCount = systemErrorCount;
    e->ErrorCount = errorCount;
    e->WarningCount = warningCount;
    e->ExitCode = exitCode;
    return e;
}

std::unique_ptr<TMonitorEventBCBarUpdatePacket>
NewBCBarUpdateEvent(std::int32_t ms, TBCUpdateKind updateKind, std::int32_t checks,
                    std::int32_t retrievals, std::int32_t updates, std::int64_t fetchDuration,
                    std::int64_t submitDuration, std::int64_t stopTime) {
    auto e = std::make_unique<TMonitorEventBCBarUpdatePacket>();
    e->ms = ms;
    e->UpdateKind = updateKind;
    e->Checks = checks;
    e->Retrievals = retrievals;
    e->Updates = updates;
    e->FetchDuration = fetchDuration;
    e->SubmitDuration = submitDuration;
    e->StopTime = stopTime;
    return e;
}

std::string BuildSummaryText(std::int32_t systemErrors, std::int32_t systemWarnings,
                             std::int32_t errors, std::int32_t warnings, bool systemOnly) {
    std::string text;
    auto add = [&text](std::int32_t count, const char* what) {
        if (!text.empty())
            text += ", ";
        text += std::to_string(count) + what;
    };
    if (systemErrors > 0)
        add(systemErrors, " build system error(s)");
    if (systemWarnings > 0)
        add(systemWarnings, " build system warning(s)");
    if (!systemOnly) {
        add(errors, " error(s)");
        add(warnings, " warning(s)");
    }
    return text;
}

void RegisterMonitorEventPackets() {
    const packets::TPacketClass* classes[] = {
        &TMonitorReservedPacket_Obsolete::StaticClass(),
        &TMonitorEventStartedPacket::StaticClass(),
        &TMonitorEventCompletePacket::StaticClass(),
        &TMonitorEventSetMSBuildFlagPacket::StaticClass(),
        &TMonitorEventBeginInitPacket::StaticClass(),
        &TMonitorEventEndInitPacket::StaticClass(),
        &TMonitorEventBeginFinalizePacket::StaticClass(),
        &TMonitorEventEndFinalizePacket::StaticClass(),
        &TMonitorEventBeginCachingPacket::StaticClass(),
        &TMonitorEventEndCachingPacket::StaticClass(),
        &TMonitorEventCountPacket::StaticClass(),
        &TMonitorEventProjectCountPacket::StaticClass(),
        &TMonitorEventMessagePacket::StaticClass(),
        &TMonitorEventOutputPacket::StaticClass(),
        &TMonitorEventProjectOutputPacket::StaticClass(),
        &TMonitorEventProjectOutOfOrderOutputPacket::StaticClass(),
        &TMonitorEventProjectCompletePacket::StaticClass(),
        &TMonitorEventProjectPacket::StaticClass(),
        &TMonitorEventProjectListPacket::StaticClass(),
        &TMonitorEventEmployPacket::StaticClass(),
        &TMonitorEventUnemployPacket::StaticClass(),
        &TBuildCacheTaskInfo::StaticClass(),
        &TMonitorEventBeginStepPacket_Obsolete::StaticClass(),
        &TMonitorEventBeginStepPacket::StaticClass(),
        &TMonitorEventBuildCacheRestorePacket::StaticClass(),
        &TMonitorEventEndStepPacket::StaticClass(),
        &TMonitorEventStepFailedPacket::StaticClass(),
        &TMonitorEventModifyBarHintPacket::StaticClass(),
        &TMonitorEventBeginBarPacket::StaticClass(),
        &TMonitorEventEndBarPacket::StaticClass(),
        &TMonitorEventAddGraphRowPacket::StaticClass(),
        &TMonitorEventAddGraphSetPacket::StaticClass(),
        &TMonitorEventAddGraphSamplePacket_Obsolete::StaticClass(),
        &TMonitorEventAddGraphSamplePacket::StaticClass(),
        &TMonitorEventCloseBrowseDBPacket::StaticClass(),
        &TMonitorEventSummaryPacket_Obsolete::StaticClass(),
        &TMonitorEventSummaryPacket_Obsolete2::StaticClass(),
        &TMonitorEventBCDetailsPacket::StaticClass(),
        &TMonitorEventBCBarUpdatePacket::StaticClass(),
        &TMonitorEventBuildCacheSummaryPacket::StaticClass(),
    };
    for (const auto* cls : classes)
        packets::RegisterPacketClass(*cls);
}

void RegisterGraphPackets() {
    packets::RegisterPacketClass(TGraphDefPacket::StaticClass());
    packets::RegisterPacketClass(TGraphSetDefPacket::StaticClass());
    packets::RegisterPacketClass(TGraphSamplePacket_Obsolete::StaticClass());
    packets::RegisterPacketClass(TGraphSamplePacket::StaticClass());
}

} // namespace records
