#include "records/MetaBuildPackets.h"
#include "records/MonitorEvents.h"
#include "records/ProfilePackets.h"
#include "records/Registration.h"
#include "records/ServicePackets.h"

#include "packets/PacketStream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

using namespace records;
using packets::TMemoryStream;
using packets::TPacket;
using packets::TPacketLoadContext;
using packets::TPacketSaveContext;

namespace {

class RecordClassesTest : public ::testing::Test {
protected:
    void SetUp() override { RegisterAllPacketClasses(); }

    // Saves the packets into one compact stream.
    static TMemoryStream Compact(std::initializer_list<const TPacket*> packets) {
        TMemoryStream s;
        TPacketSaveContext context;
        for (const TPacket* p : packets)
            p->SaveToStream(s, &context, packets::psoBuffered);
        s.SetPosition(0);
        return s;
    }
};

// Every record class of the program: unique GUIDs and field names, a fresh object
// saved and loaded in both forms is equal to itself, and Clear restores it.
TEST_F(RecordClassesTest, EveryClassIsConsistent) {
    std::set<core::TGUID> guids;
    auto classes = packets::RegisteredPacketClasses();
    EXPECT_GE(classes.size(), 1u + 15 + 40 + 4 + 4);
    for (const auto* cls : classes) {
        SCOPED_TRACE(std::string(cls->Name()));
        EXPECT_TRUE(guids.insert(cls->ClassGUID()).second);
        std::set<std::string_view> names;
        for (int i = 0; i < cls->FieldCount(); ++i)
            EXPECT_TRUE(names.insert(cls->FieldName(i)).second) << cls->FieldName(i);
        auto fresh = cls->Create();
        for (bool compact : {false, true}) {
            TMemoryStream s;
            TPacketSaveContext sc;
            fresh->SaveToStream(s, compact ? &sc : nullptr);
            s.SetPosition(0);
            TPacketLoadContext lc;
            auto loaded = TPacket::CreateFromStream(s, compact ? &lc : nullptr);
            EXPECT_TRUE(loaded->IsEqual(*fresh));
            EXPECT_EQ(s.Position(), s.Size());
        }
        auto cleared = fresh->Clone();
        cleared->Clear();
        EXPECT_TRUE(cleared->IsEqual(*fresh));
    }
}

TEST_F(RecordClassesTest, StaticDescriptionDefaultsAndLayout) {
    TStaticPacket s;
    EXPECT_EQ(s.FieldCount(), 66);
    EXPECT_EQ(s.Class().FieldName(22), "NETFramworkVersion");
    EXPECT_EQ(s.Class().FieldName(37), "Serverr2Metric");
    EXPECT_EQ(s.Class().FieldName(65), "UseBuildCacheCluster");
    EXPECT_TRUE(s.AllowEnableDisable);
    EXPECT_TRUE(s.Is64bitWindows);
    EXPECT_TRUE(s.UseLocalBuildCache);
    EXPECT_EQ(s.MSVCVersion, "-1");
    EXPECT_EQ(s.NETFramworkVersion, "-1");
    EXPECT_EQ(s.ProductInfoType, -1);
    EXPECT_EQ(s.ReservedCount, -1);
    EXPECT_EQ(s.BuildCacheSizeGB, -1);
    s.InstalledAssemblies_Obsolete.Add("System");
    s.ProcessorArchitecture = 9;
    s.VersionInfo[147] = 1;
    s.ConnectionInfo.Name = "eth0";
    s.Scheduler.Enable = true;
    TMemoryStream stream;
    s.SaveToStream(stream);
    stream.SetPosition(0);
    auto loaded = TPacket::CreateFromStream(stream);
    EXPECT_TRUE(loaded->IsEqual(s));
    s.Clear();
    EXPECT_TRUE(s.IsEqual(TStaticPacket()));
}

TEST_F(RecordClassesTest, EmployEventFromAnOlderAgentDescription) {
    TMonitorEventEmployPacket e;
    e.StaticInfo.Host = "helper";
    e.StaticInfo.IsWine = true;
    e.StaticInfo.LocalBCServicePort = 5;
    e.Caption = "c";
    e.Host = "h";
    e.Local = true;
    TMemoryStream s = Compact({&e});
    std::vector<std::uint8_t> bytes(s.Bytes().begin(), s.Bytes().end());
    // Rewrite the description's intro to 60 fields and drop fields 60..65 (9 bytes
    // before the employ event's last three fields, 5 bytes).
    auto guid = TStaticPacket::StaticClass().ClassGUID().Bytes;
    auto at = std::search(bytes.begin(), bytes.end(), guid.begin(), guid.end());
    ASSERT_NE(at, bytes.end());
    *(at - 2) = 60;
    bytes.erase(bytes.end() - 5 - 9, bytes.end() - 5);
    TMemoryStream older(bytes);
    TPacketLoadContext context;
    auto loaded = TPacket::CreateFromStream(older, &context);
    auto& employ = static_cast<TMonitorEventEmployPacket&>(*loaded);
    EXPECT_EQ(employ.StaticInfo.Host, "helper");
    EXPECT_FALSE(employ.StaticInfo.IsWine);
    EXPECT_EQ(employ.StaticInfo.LocalBCServicePort, 0);
    EXPECT_EQ(employ.Caption, "c");
    EXPECT_TRUE(employ.Local);
    EXPECT_EQ(older.Position(), older.Size());

    // More fields than the class has: the stream cannot be read.
    *(at - 2) = 67;
    TMemoryStream newer(bytes);
    TPacketLoadContext context2;
    try {
        TPacket::CreateFromStream(newer, &context2);
        FAIL();
    } catch (const core::EGeneralError& e) {
        EXPECT_STREQ(e.what(), "Failed to load packet fields\r\n"
                               "Unsupported version of packet class: TStaticPacket (version 67)");
    }
}

TEST_F(RecordClassesTest, SecondEmployEventRefersToEveryClassById) {
    TMonitorEventEmployPacket e;
    TMemoryStream one = Compact({&e});
    TMemoryStream two = Compact({&e, &e});
    // Five classes (the event and four nested records): 19 intro bytes each the
    // second time round become nothing but the one-byte ID.
    EXPECT_EQ(two.Size() - one.Size(), one.Size() - 5 * 19);
    TPacketLoadContext context;
    TPacket::CreateFromStream(two, &context);
    TPacket::CreateFromStream(two, &context);
    EXPECT_EQ(context.Count(), 5);
}

TEST_F(RecordClassesTest, OutputEventWrittenWithFiveFields) {
    TMonitorEventOutputPacket e;
    e.Text = "line";
    e.CreateRegion = false;
    e.ErrText = "err";
    TMemoryStream s = Compact({&e});
    std::vector<std::uint8_t> bytes(s.Bytes().begin(), s.Bytes().end());
    bytes[2] = 5;                              // intro field count
    bytes.erase(bytes.end() - 5, bytes.end()); // CreateRegion and ErrText
    TMemoryStream older(bytes);
    TPacketLoadContext context;
    auto loaded = TPacket::CreateFromStream(older, &context);
    auto& out = static_cast<TMonitorEventOutputPacket&>(*loaded);
    EXPECT_EQ(out.Text, "line");
    EXPECT_TRUE(out.CreateRegion);
    EXPECT_TRUE(out.ErrText.empty());
}

TEST_F(RecordClassesTest, IntegerWidthsDifferPerClass) {
    TMonitorEventEmployPacket employ;
    TMonitorEventUnemployPacket unemploy;
    employ.RowIndex = 200;
    unemploy.RowIndex = 200;
    TMonitorEventOutputPacket output;
    TMonitorEventProjectOutputPacket projectOutput;
    output.ErrorCount = 5;
    projectOutput.ErrorCount = 5;
    TGraphSamplePacket sample;
    sample.Values = {std::int64_t{1} << 40, -1};
    TMonitorEventAddGraphSamplePacket addSample;
    addSample.SamplePacket.Values = sample.Values;
    TMemoryStream s = Compact({&employ, &unemploy, &output, &projectOutput, &addSample});
    TPacketLoadContext context;
    for (const TPacket* expected : std::initializer_list<const TPacket*>{
             &employ, &unemploy, &output, &projectOutput, &addSample})
        EXPECT_TRUE(TPacket::CreateFromStream(s, &context)->IsEqual(*expected));
    EXPECT_EQ(s.Position(), s.Size());
    // Unemploy alone: intro 20, ms 4, empty ID 1, RowIndex 200 as a 4-byte Compact.
    TMemoryStream u = Compact({&unemploy});
    EXPECT_EQ(u.Size(), 20 + 4 + 1 + 4);
}

TEST_F(RecordClassesTest, StartedEventCarriesTheReservedRecord) {
    TMonitorEventStartedPacket started;
    started.ID = core::NewGuid();
    started.BuildFlags.Include(TBuildFlag::Monitor);
    started.StartTime = 46366.5;
    started.Caption = "app";
    TMemoryStream s = Compact({&started});
    TPacketLoadContext context;
    EXPECT_TRUE(TPacket::CreateFromStream(s, &context)->IsEqual(started));
    EXPECT_EQ(started.FieldIndex("ms"), 0);
    EXPECT_EQ(TMonitorEventBeginInitPacket().FieldIndex("ms"), -1);
}

TEST_F(RecordClassesTest, FieldsWithoutTextAndOptionalMembers) {
    TMonitorEventBCBarUpdatePacket bar;
    EXPECT_THROW(bar.GetFieldAsString("UpdateKind"), core::EGeneralError);
    std::string text;
    EXPECT_EQ(bar.GetFieldText(bar.FieldIndex("UpdateKind"), text), 0);
    auto made = NewBCBarUpdateEvent(-1, TBCUpdateKind{3}, 1, 2, 3, 4, 5, 6);
    made->SetFieldAsInteger(0, 250);
    EXPECT_EQ(made->ms, 250);

    TMonitorEventBeginStepPacket_Obsolete step;
    try {
        step.Required(step.BuildCacheTaskInfo);
        FAIL();
    } catch (const core::EGeneralError& e) {
        EXPECT_STREQ(e.what(), "Attempt to access uninitialized member object: "
                               "TMonitorEventBeginStepPacket_Obsolete.BuildCacheTaskInfo");
    }
    step.BuildCacheTaskInfo.Create().TaskSignature = u"sig";
    TMemoryStream s = Compact({&step});
    TPacketLoadContext context;
    EXPECT_TRUE(TPacket::CreateFromStream(s, &context)->IsEqual(step));
}

TEST_F(RecordClassesTest, DefaultsOfEvents) {
    EXPECT_EQ(TMonitorEventEndInitPacket().UseBuildCache, -2);
    EXPECT_EQ(TMonitorEventCountPacket().Errors, -1);
    EXPECT_EQ(TMonitorEventCountPacket().Warnings, -1);
    EXPECT_TRUE(TMonitorEventOutputPacket().CreateRegion);
    EXPECT_TRUE(TMonitorEventProjectOutputPacket().CreateRegion);
    EXPECT_EQ(TMonitorEventBCDetailsPacket().TaskID, -1);
}

TEST_F(RecordClassesTest, FailureEventsOfTheConsole) {
    auto message = NewMessageEvent(0, 2, 46366.25, "Build Monitor has failed", "why", "", "", 0);
    EXPECT_EQ(message->Kind, 2);
    EXPECT_EQ(message->Message, "Build Monitor has failed");
    auto complete = NewCompleteEvent(0, false, BuildSummaryText(1, 0, 0, 0), false, 0, 1, 0, 0, 0);
    EXPECT_EQ(complete->Summary, "1 build system error(s), 0 error(s), 0 warning(s)");
    EXPECT_EQ(complete->SystemErrorCount, 1);
    EXPECT_EQ(BuildSummaryText(0, 2, 3, 4), "2 build system warning(s), 3 error(s), 4 warning(s)");
    EXPECT_EQ(BuildSummaryText(1, 1, 3, 4, true),
              "1 build system error(s), 1 build system warning(s)");
    EXPECT_EQ(BuildSummaryText(0, 0, 0, 0), "0 error(s), 0 warning(s)");
}

} // namespace

namespace {

class ServicePacketsTest : public ::testing::Test {
protected:
    void SetUp() override { RegisterAllPacketClasses(); }
};

TEST_F(ServicePacketsTest, StatusReplySkipsAForeignReservedRecord) {
    TQueryServiceStatusReplyPacket reply;
    reply.StandAlone = true;
    reply.StaticPacket.Host = "build01";
    reply.StaticPacket.AllowEnableDisable = false;
    TMemoryStream s;
    reply.SaveToStream(s);
    std::vector<std::uint8_t> bytes(s.Bytes().begin(), s.Bytes().end());
    // Another service writes two fields (5 bytes) into its reserved record.
    auto put32 = [&](std::size_t at, std::int32_t v) { std::memcpy(bytes.data() + at, &v, 4); };
    const std::uint8_t extra[] = {1, 2, 3, 4, 5};
    bytes.insert(bytes.begin() + 64, std::begin(extra), std::end(extra));
    put32(4, static_cast<std::int32_t>(bytes.size()));
    put32(32 + 4, 32 + 5);
    put32(32 + 8, 2);
    TMemoryStream foreign(bytes);
    auto loaded = TPacket::CreateFromStream(foreign);
    auto& got = static_cast<TQueryServiceStatusReplyPacket&>(*loaded);
    EXPECT_TRUE(got.StandAlone);
    EXPECT_EQ(got.StaticPacket.Host, "build01");
    EXPECT_FALSE(got.StaticPacket.AllowEnableDisable);
    EXPECT_EQ(foreign.Position(), foreign.Size());
}

TEST_F(ServicePacketsTest, LayoutsAndDefaults) {
    EXPECT_EQ(TCoordBuildActivityInfo().FieldCount(), 57);
    EXPECT_EQ(TCoordBuildActivityInfo().FieldIndex("BiIssuer"), 33);
    EXPECT_EQ(TCoordBuildActivityInfo().FieldIndex("LoggedOnUsers"), 56);
    EXPECT_EQ(TQueryServiceStatusReplyPacket().FieldIndex("StaticPacket"), 11);
    EXPECT_EQ(TBuildStatusPacket().FieldIndex("ReservedSet"), 10);
    TProductInformationPacket info;
    EXPECT_EQ(info.FieldCount(), 14);
    EXPECT_EQ(info.ProductCaption, "Morvek");
    EXPECT_TRUE(info.VsAddIn && info.VisualStudioBuilds && info.VisualStudioAddIn);
    EXPECT_TRUE(info.GridServiceID.IsNull());
    TCommExceptionPacket error;
    EXPECT_EQ(error.Class().ClassGUID().ToString(), "{147D1111-3535-4E71-9695-E35D6011ECDE}");
    // Requests sit on the comm base, replies on the plain one.
    EXPECT_TRUE(TStopJobPacket::StaticClass().InheritsFrom(packets::TPacket::StaticClass()));
    TStopJobPacket stop;
    EXPECT_NE(dynamic_cast<packets::TCommPacket*>(&stop), nullptr);
}

TEST_F(ServicePacketsTest, BuildListReplyRoundTrips) {
    TRequestBuildStatusReplayPacket reply;
    auto& first = reply.Builds.AddNew();
    first.BuildID = core::NewGuid();
    first.Caption = "one";
    reply.Builds.AddNew().Caption = "two";
    TMemoryStream s;
    reply.SaveToStream(s, nullptr, packets::psoBuffered);
    s.SetPosition(0);
    auto loaded = TPacket::CreateFromStream(s);
    EXPECT_TRUE(loaded->IsEqual(reply));
    EXPECT_EQ(static_cast<TRequestBuildStatusReplayPacket&>(*loaded).Builds[1].Caption, "two");
}

} // namespace

namespace {

TEST(MetaBuildPacketsTest, RecordWithRequestAttachmentsAndMarker) {
    RegisterAllPacketClasses();
    TMetaBuildPacket meta;
    EXPECT_EQ(meta.FieldCount(), 35);
    EXPECT_EQ(meta.LoggingLevel, -1);
    EXPECT_EQ(meta.Command.OverrideLogLevel, -1);
    meta.ID = core::NewGuid();
    meta.Command.Caption = "app";
    meta.Command.SetFlag(TBuildFlag::Rebuild);
    auto length = static_cast<std::int32_t>(EventsAppendedMarker.size());
    meta.OldMonitorEvents.Write(&length, 4);
    meta.OldMonitorEvents.Write(EventsAppendedMarker.data(), EventsAppendedMarker.size());
    auto& attachment = meta.Attachments.AddNew();
    attachment.Filename = "build.log";
    attachment.Content.Write("log", 3);
    EXPECT_EQ(meta.OldMonitorEvents.Size(), 43);
    TMemoryStream s;
    meta.SaveToStream(s);
    s.SetPosition(0);
    TMetaBuildPacket loaded;
    loaded.LoadFromStream(s);
    EXPECT_TRUE(loaded.IsEqual(meta));
    EXPECT_EQ(loaded.OldMonitorEvents.Text().substr(4), EventsAppendedMarker);
    EXPECT_TRUE(loaded.Command.HasFlag(TBuildFlag::Rebuild));
}

} // namespace

namespace {

TEST(ProfilePacketsTest, NamesCaptionsAndNestedGroups) {
    RegisterAllPacketClasses();
    const auto& task = TXml_Task::StaticClass();
    EXPECT_EQ(task.FieldCaption(task.FieldIndex("SourceFile")), "Source File");
    EXPECT_EQ(task.FieldCaption(task.FieldIndex("DependsOn")), "Depends On Tasks");
    EXPECT_EQ(task.FieldCaption(task.FieldIndex("Name")), "Name");
    const auto& env = TXml_Environment::StaticClass();
    EXPECT_EQ(env.FieldItemName(env.FieldIndex("Variables")), "Variable");
    EXPECT_EQ(env.FieldItemCaption(env.FieldIndex("Tools")), "Tool");
    const auto& tool = TBuildCacheTool::StaticClass();
    EXPECT_EQ(tool.FieldItemName(tool.FieldIndex("ChildProcesses")), "Exclude");
    EXPECT_EQ(TXml_Tool().FieldCount(), 47);
    EXPECT_EQ(TXml_Tool::StaticClass().FieldName(46), "TreatCmdLineAsUtf8");

    TXml_BuildDocument doc;
    auto& group = doc.Project.AddNew();
    group.Name = "outer";
    auto& inner = group.TaskGroup.AddNew();
    inner.Name = "inner";
    inner.Task.AddNew().SourceFile = "a.cpp";
    TMemoryStream s;
    doc.SaveToStream(s);
    s.SetPosition(0);
    auto loaded = TPacket::CreateFromStream(s);
    EXPECT_TRUE(loaded->IsEqual(doc));
    core::TStringListEx dump;
    loaded->DumpToStrings(dump);
    EXPECT_NE(std::find(dump.Strings().begin(), dump.Strings().end(),
                        "              SourceFile = 'a.cpp'"),
              dump.Strings().end());
}

} // namespace
