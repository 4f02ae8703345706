// Build-cache configuration: defaults merged with the user file, and the cleaning.
#include "proxy/BuildCacheSettings.h"
#include "../platform/TestProcess.h"
#include "proxy/BuildActivityInfo.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using build::TBuildCacheSettings;
namespace fs = std::filesystem;

TEST(BuildCacheSettings, UserFileWinsMemberByMember) {
    testing_support::TTempDir data;
    testing_support::TScopedEnv env("TAVRIX_DATA_DIR", data.Path());
    const TBuildCacheSettings s = TBuildCacheSettings::FromText(
        R"({"service": {"port": 1, "gridId": "g", "useTls": true, "compression": "lz4"},
            "localRedisInstance": {"port": 7, "dbLocation": "%PROGRAMDATA%\\Morvek\\BuildCache"},
            "fileSystem": {"cacheDirectoryLocation": "", "remoteUser": "u"},
            "cacheCleaner": {"maxCacheSize": 5000000000}})",
        R"({"service": {"port": 2, "useTls": null}, "localRedisInstance": {"dbLocation": "C:\\db"}})");
    EXPECT_EQ(s.ServicePort, 2); // overridden
    EXPECT_EQ(s.GridId, "g");    // kept from the default
    EXPECT_FALSE(s.UseTls);      // null in the user file overrides the default
    EXPECT_EQ(s.Compression, "lz4");
    EXPECT_EQ(s.TlsCnPattern, ""); // missing reads empty
    EXPECT_EQ(s.DatabasePort, 7);
    EXPECT_EQ(s.DatabaseLocation, "C:/db");
    EXPECT_EQ(s.CacheDirectory, data.Path() + "/Morvek/BuildCache"); // empty: the cache folder
    EXPECT_EQ(s.RemoteUser, "u");
    EXPECT_EQ(s.MaxCacheSize, 5000000000);
    EXPECT_EQ(s.TaskInfoDatabase(), data.Path() + "/Morvek/BuildCache/TaskExtraInfo.db");

    const TBuildCacheSettings standard = TBuildCacheSettings::FromText(
        R"({"localRedisInstance": {"dbLocation": "%PROGRAMDATA%\\Morvek\\BuildCache"}})", "");
    EXPECT_EQ(standard.DatabaseLocation, data.Path() + "/Morvek/BuildCache");

    // The user file merges recursively: a null member overrides, a null file overrides
    // nothing, and a file that is no object is refused.
    const std::string defaults =
        R"({"service": {"port": 1, "gridId": "g"}, "cacheCleaner": {"maxCacheSize": 9}})";
    const struct {
        std::string User;
        std::int64_t Port;
        std::string GridId;
        std::int64_t MaxCacheSize;
    } merges[] = {
        {"null", 1, "g", 9},
        {R"({})", 1, "g", 9},
        {R"({"service": null})", 0, "", 9},
        {R"({"service": {"gridId": null}})", 1, "", 9},
        {R"({"service": {"extra": {"deep": null}}, "cacheCleaner": {"maxCacheSize": 3}})", 1, "g",
         3},
        {R"({"cacheCleaner": 5})", 1, "g", 0},
    };
    for (const auto& m : merges) {
        const TBuildCacheSettings merged = TBuildCacheSettings::FromText(defaults, m.User);
        EXPECT_EQ(merged.ServicePort, m.Port) << m.User;
        EXPECT_EQ(merged.GridId, m.GridId) << m.User;
        EXPECT_EQ(merged.MaxCacheSize, m.MaxCacheSize) << m.User;
    }
    EXPECT_EQ(TBuildCacheSettings::FromText("[1]", R"({"service": {"port": 4}})").ServicePort, 4);
    for (const char* user : {"[1]", "5", "\"text\"", "{"}) {
        try {
            TBuildCacheSettings::FromText(defaults, user);
            ADD_FAILURE() << user;
        } catch (const std::exception& e) {
            EXPECT_STREQ(e.what(), "Invalid Build Cache service configuration file") << user;
        }
    }

    try {
        TBuildCacheSettings::FromText("not json", "", "/x/config.json");
        ADD_FAILURE();
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(),
                     "Default Build Cache service configuration file not found: /x/config.json");
    }
}

class ClearBuildCacheTest : public ::testing::Test {
protected:
    ClearBuildCacheTest()
        : registryEnv("TAVRIX_REGISTRY_DIR", root.Path() + "/etc"),
          dataEnv("TAVRIX_DATA_DIR", root.Path() + "/var") {
        fs::create_directories(root.Path() + "/etc");
        fs::create_directories(root.Path() + "/agent/resources");
        std::ofstream(root.Path() + "/etc/machine.reg")
            << "Windows Registry Editor Version 5.00\r\n\r\n"
               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tavrix\\Morvek\\Builder]\r\n\"Folder\"=\""
            << root.Path() << "/agent\"\r\n";
        std::ofstream(root.Path() + "/agent/resources/buildcache_service_config.json")
            << R"({"localRedisInstance": {"dbLocation": ""}})";
        cache = root.Path() + "/var/Morvek/BuildCache";
        fs::create_directories(cache);
    }
    void Touch(const std::string& relative) {
        fs::create_directories(fs::path(cache + "/" + relative).parent_path());
        std::ofstream(cache + "/" + relative) << "x";
    }
    testing_support::TTempDir root;
    testing_support::TScopedEnv registryEnv;
    testing_support::TScopedEnv dataEnv;
    std::string cache;
    std::string printed;
    std::function<void(std::string_view)> out = [this](std::string_view t) { printed += t; };
};

TEST_F(ClearBuildCacheTest, RemovesEveryPartAndACleanCacheIsCleaned) {
    Touch("FileCache/a/b.o");
    Touch("Intermediate/c");
    Touch("dump.rdb");
    Touch("TaskExtraInfo.db");
    Touch("sync_timestamp");
    Touch("keep.txt");
    EXPECT_TRUE(build::ClearBuildCacheData(out));
    EXPECT_EQ(printed, "");
    EXPECT_FALSE(fs::exists(cache + "/FileCache"));
    EXPECT_FALSE(fs::exists(cache + "/Intermediate"));
    EXPECT_FALSE(fs::exists(cache + "/dump.rdb"));
    EXPECT_FALSE(fs::exists(cache + "/TaskExtraInfo.db"));
    EXPECT_FALSE(fs::exists(cache + "/sync_timestamp"));
    EXPECT_TRUE(fs::exists(cache + "/keep.txt"));
    // Nothing left to delete: an already clean cache (no FileCache folder, no *.rdb
    // file) is cleaned, not a failure.
    EXPECT_TRUE(build::ClearBuildCacheData(out));
    EXPECT_EQ(printed, "");
}

TEST_F(ClearBuildCacheTest, MissingDefaultConfigurationIsAnError) {
    fs::remove(root.Path() + "/agent/resources/buildcache_service_config.json");
    EXPECT_FALSE(build::ClearBuildCacheData(out));
    EXPECT_EQ(printed.rfind("Error: ", 0), 0u) << printed;
}

TEST(RefusedBuildActivity, TypeIssuerAndReason) {
    struct TCase {
        bool Rebuild, Clean;
        const char* Issuer;
        std::uint8_t Result;
        int Type, IssuerId, Status;
    };
    const TCase cases[] = {
        {true, true, "vscode", 1, 3, 7, 8},   {false, true, "", 2, 2, 2, 16},
        {false, false, "CLION", 4, 1, 6, 32}, {false, false, "eclipse", 1, 1, 5, 8},
        {false, false, "Rider", 1, 1, 2, 8},
    };
    for (const TCase& c : cases) {
        records::TBuildCommandPacket request;
        request.SetFlag(records::TBuildFlag::Rebuild, c.Rebuild);
        request.SetFlag(records::TBuildFlag::Clean, c.Clean);
        request.BiIssuer = c.Issuer;
        request.Caption = "App";
        request.RavelconCommandLine = "ravelcon app.sln /nowait";
        request.BuildClass = "VC16DE";
        const auto made = build::MakeRefusedBuildActivity(request, "host1", c.Result);
        const records::TCoordBuildActivityInfo& info = *made;
        EXPECT_EQ(info.BuildTypeId, c.Type) << c.Issuer;
        EXPECT_EQ(info.BiIssuer, c.IssuerId) << c.Issuer;
        EXPECT_EQ(info.BuildStatusId, c.Status) << c.Issuer;
        EXPECT_EQ(info.AgentId, "host1");
        EXPECT_EQ(info.BuildTitle, "App");
        EXPECT_EQ(info.Command, "ravelcon app.sln /nowait");
        EXPECT_EQ(info.BuildsetVersion, "VC16DE");
        core::TGUID guid;
        EXPECT_TRUE(core::TGUID::TryParse(info.BuildGuid, guid));
        EXPECT_EQ(info.StartTS, 0);
    }
}

TEST_F(ClearBuildCacheTest, WithoutWriteAccessToTheSettingsNothingIsDeleted) {
    Touch("dump.rdb");
    // A registry folder nobody can write to, not even the superuser.
    testing_support::TScopedEnv readOnly("TAVRIX_REGISTRY_DIR", "/proc/self/fdinfo");
    EXPECT_FALSE(build::ClearBuildCacheData(out));
    EXPECT_EQ(printed, "Please note that user has no administrative rights so cannot clear cache.");
    EXPECT_TRUE(fs::exists(cache + "/dump.rdb"));
}
