#include "records/BuildPackets.h"

#include "packets/PacketStream.h"

#include <gtest/gtest.h>

using namespace records;
using packets::TMemoryStream;
using packets::TPacket;

namespace {

class BuildPacketsTest : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterBuildCommandPackets();
        RegisterBuildUnitPackets();
    }
    static std::vector<std::uint8_t> Save(const TPacket& p) {
        TMemoryStream s;
        p.SaveToStream(s);
        return {s.Bytes().begin(), s.Bytes().end()};
    }
};

TEST_F(BuildPacketsTest, DefaultsSurviveSaveAndLoad) {
    TBuildCommandPacket fresh;
    auto bytes = Save(fresh);
    // 76 fields of a fresh request: the head plus 151 bytes.
    ASSERT_EQ(bytes.size(), 183u);
    EXPECT_EQ(bytes[8], 76);
    EXPECT_EQ(bytes[32 + 61], 0xFF); // OverrideLogLevel -1
    TMemoryStream s(bytes);
    auto loaded = TPacket::CreateFromStream(s);
    auto& r = static_cast<TBuildCommandPacket&>(*loaded);
    EXPECT_TRUE(r.IsEqual(fresh));
    EXPECT_EQ(r.OverrideLogLevel, -1);
    EXPECT_EQ(r.PluginUpDateVer, -1);
    EXPECT_EQ(r.OverridePredictedExecutionMode, -1);
    EXPECT_EQ(r.Obsolete_BuildCacheRole, -1);
    EXPECT_EQ(r.BuildCachePchStrategy, -1);
    EXPECT_EQ(r.OverrideMaxConcurrentPDBs, -1);
    EXPECT_EQ(r.BuildCacheEnableOlderMSVCSupport, -1);
    EXPECT_TRUE(r.UseLocalBuildCache);
    EXPECT_EQ(r.OverrideUseMSBuild, 0);
}

TEST_F(BuildPacketsTest, TableMatchesTheStoredLayout) {
    const auto& cls = TBuildCommandPacket::StaticClass();
    ASSERT_EQ(cls.FieldCount(), 76);
    const std::pair<int, const char*> names[] = {
        {0, "BuildID"},
        {1, "Flags"},
        {7, "LocalAppDataDir"},
        {23, "EVC4_CeConfig"},
        {24, "OverrideMaxHelpersPerJob"},
        {25, "ActiveProjects"},
        {32, "OverrideLogLevel"},
        {43, "InjectBase"},
        {56, "ConsoleOutputCodePage"},
        {61, "UseLocalBuildCache"},
        {75, "BuildCacheProfile"},
    };
    for (auto [index, name] : names)
        EXPECT_EQ(cls.FieldName(index), name);
    using K = packets::TPacketFieldKind;
    EXPECT_EQ(cls.FieldKind(0), K::pfkNone);
    EXPECT_EQ(cls.FieldKind(1), K::pfkNone);
    EXPECT_EQ(cls.FieldKind(2), K::pfkString);
    EXPECT_EQ(cls.FieldKind(8), K::pfkObject);
    EXPECT_EQ(cls.FieldKind(25), K::pfkObject);
    EXPECT_EQ(cls.FieldKind(32), K::pfkInteger);
    EXPECT_EQ(cls.FieldKind(35), K::pfkBoolean);
    EXPECT_EQ(cls.ClassGUID().ToString(), "{26B22475-8588-4603-BBCE-844F30AEDD55}");
    EXPECT_EQ(TBuildCommandProjectPacket::StaticClass().ClassGUID().ToString(),
              "{95CC18AF-747B-4B8C-A35D-16047EF6C6EA}");
}

TEST_F(BuildPacketsTest, FilledRequestRoundTripsAndComparesFieldByField) {
    TBuildCommandPacket r;
    r.BuildID = core::NewGuid();
    r.SetFlag(TBuildFlag::Attach);
    r.SetFlag(TBuildFlag::DeployWithDevEnv);
    r.SetFlag(TBuildFlag::MonitorSuppressBars);
    r.Caption = "app";
    r.LocalAppDataDir = u"/home/j\u00FCrgen/\u65E5\u672C\U0001F600";
    r.CompilerParamsAdd.Add("/O2");
    r.ActiveProjects.Add(std::make_unique<TBuildCommandProjectPacket>("core", "Release|x64"));
    r.ActiveProjects.Add(
        std::make_unique<TBuildCommandProjectPacket>("ui", "Debug|Win32", "ui\\ui.vcxproj"));
    r.MinWinVer_Major = 200;
    r.ConsoleOutputCodePage = 65001;
    r.InjectBase = -1;
    TMemoryStream s;
    r.SaveToStream(s);
    s.SetPosition(0);
    TBuildCommandPacket loaded;
    loaded.LoadFromStream(s);
    EXPECT_TRUE(loaded.IsEqual(r));
    EXPECT_EQ(loaded.LocalAppDataDir, r.LocalAppDataDir);
    EXPECT_TRUE(loaded.HasFlag(TBuildFlag::DeployWithDevEnv));
    EXPECT_EQ(loaded.ActiveProjects[1].RelativePath_Optional, "ui\\ui.vcxproj");

    loaded.ActiveProjects[1].Config = "Release|x64";
    loaded.OverrideLogLevel = 2;
    loaded.SetFlag(TBuildFlag::Rebuild);
    std::vector<int> diffs;
    EXPECT_FALSE(loaded.CompareFields(r, [&](int i) { diffs.push_back(i); }));
    EXPECT_EQ(diffs, (std::vector<int>{1, 25, 32}));
}

TEST_F(BuildPacketsTest, EveryFlagBitRoundTrips) {
    TBuildCommandPacket r;
    for (int bit = 0; bit <= 57; ++bit)
        r.SetFlag(static_cast<TBuildFlag>(bit));
    auto bytes = Save(r);
    // BuildID (16 bytes) then the set: size byte 8 and bits 0..57.
    EXPECT_EQ(bytes[48], 8);
    const std::uint8_t expected[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x03};
    EXPECT_EQ(std::memcmp(bytes.data() + 49, expected, 8), 0);
    TMemoryStream s(bytes);
    TBuildCommandPacket loaded;
    loaded.LoadFromStream(s);
    EXPECT_EQ(loaded.Flags, r.Flags);
    EXPECT_TRUE(loaded.HasFlag(TBuildFlag::MonitorSuppressBars));
    EXPECT_TRUE(loaded.HasFlag(TBuildFlag::DeployWithDevEnv));
}

TEST_F(BuildPacketsTest, CompactCountWidth) {
    TBuildCommandPacket r;
    auto base = Save(r).size();
    r.MinWinVer_Major = 100;
    EXPECT_EQ(Save(r).size(), base);
    r.MinWinVer_Major = 200;
    EXPECT_EQ(Save(r).size(), base + 3);
}

TEST_F(BuildPacketsTest, OlderWriterWithTwentyFourFields) {
    TBuildCommandPacket r;
    r.Caption = "cap";
    r.EVC4_CeConfig = "ce";
    r.OverrideMaxHelpersPerJob = 5;
    r.UseLocalBuildCache = false;
    auto bytes = Save(r);
    // Fields 0..23 of this request take 47 + 3 + 2 bytes.
    std::size_t end = 32 + 52;
    bytes.resize(end);
    std::int32_t size = static_cast<std::int32_t>(end), count = 24;
    std::memcpy(bytes.data() + 4, &size, 4);
    std::memcpy(bytes.data() + 8, &count, 4);
    TMemoryStream s(bytes);
    auto loaded = TPacket::CreateFromStream(s);
    auto& got = static_cast<TBuildCommandPacket&>(*loaded);
    EXPECT_EQ(got.Caption, "cap");
    EXPECT_EQ(got.EVC4_CeConfig, "ce");
    EXPECT_EQ(got.OverrideMaxHelpersPerJob, 0);
    EXPECT_TRUE(got.UseLocalBuildCache);
    EXPECT_EQ(got.OverrideLogLevel, -1);
    EXPECT_EQ(s.Position(), s.Size());
}

TEST_F(BuildPacketsTest, TruncationNamesTheField) {
    auto bytes = Save(TBuildCommandPacket());
    bytes.resize(32 + 61); // up to OverrideLogLevel
    TMemoryStream s(bytes);
    TBuildCommandPacket r;
    try {
        r.LoadFromStream(s);
        FAIL();
    } catch (const core::ERangeError& e) {
        EXPECT_STREQ(e.what(), "Trying to load OverrideLogLevel (1 bytes) beyond the buffer end");
    }
    bytes.resize(32 + 49); // inside OverrideMaxHelpersPerJob
    TMemoryStream s2(bytes);
    EXPECT_THROW(r.LoadFromStream(s2), core::ERangeError);
}

TEST_F(BuildPacketsTest, TextAccessByName) {
    TBuildCommandPacket r;
    r.ConsoleOutputCodePage = 4294967295u;
    EXPECT_EQ(r.GetFieldAsString("ConsoleOutputCodePage"), "4294967295");
    EXPECT_EQ(r.GetFieldAsString("OverrideLogLevel"), "-1");
    EXPECT_EQ(r.GetFieldAsString("UseLocalBuildCache"), "True");
    r.SetFieldAsString("ForcedEnv", "A=1\r\nB=2");
    EXPECT_EQ(r.ForcedEnv.Count(), 2);
    EXPECT_EQ(r.ForcedEnv.Value("B"), "2");
    r.SetFieldAsString("MaxWinVer_Major", "10");
    EXPECT_EQ(r.MaxWinVer_Major, 10);
    EXPECT_EQ(std::get<packets::TCustomPacketList*>(r.GetFieldAsObject("ActiveProjects")),
              &r.ActiveProjects);
    EXPECT_THROW(r.GetFieldAsString("BuildID"), core::EGeneralError);
}

TEST_F(BuildPacketsTest, UnitClassesRegisterInOrderAndRoundTrip) {
    auto classes = packets::RegisteredPacketClasses();
    auto pos = [&](const packets::TPacketClass& c) {
        return std::find(classes.begin(), classes.end(), &c) - classes.begin();
    };
    EXPECT_LT(pos(TBuildCommandPacket::StaticClass()),
              pos(TBuildCommandProjectPacket::StaticClass()));
    EXPECT_LT(pos(TExecuteSearchReplacePacket::StaticClass()),
              pos(TBuildCacheQuotaReplyPacket::StaticClass()));

    TBuildStatusPacket status;
    status.BuildID = core::NewGuid();
    status.Caption = "build";
    status.DonePercent = 40;
    status.Flags.Include(TBuildFlag::Monitor);
    status.MaxWinVer_Major = 300;
    status.StartTime = 46366.5;
    TExecuteResultPacket result;
    result.IncrementalFiles.AddNew().Path = "a.obj";
    result.MetaOutput.Write("meta", 4);
    for (bool compact : {false, true}) {
        TMemoryStream s;
        packets::TPacketSaveContext sc;
        status.SaveToStream(s, compact ? &sc : nullptr);
        result.SaveToStream(s, compact ? &sc : nullptr);
        s.SetPosition(0);
        packets::TPacketLoadContext lc;
        EXPECT_TRUE(TPacket::CreateFromStream(s, compact ? &lc : nullptr)->IsEqual(status));
        EXPECT_TRUE(TPacket::CreateFromStream(s, compact ? &lc : nullptr)->IsEqual(result));
    }
}

} // namespace
