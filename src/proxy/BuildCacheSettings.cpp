#include "proxy/BuildCacheSettings.h"

#include "core/DiagnosticLog.h"
#include "core/Errors.h"
#include "platform/Environment.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/ProcessControl.h"
#include "platform/Registry.h"
#include "proxy/AgentSettings.h"

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace build {

namespace {

namespace fs = std::filesystem;
constexpr std::string_view ConfigName = "buildcache_service_config.json";
constexpr std::string_view DefaultLocationText = "%PROGRAMDATA%\\Morvek\\BuildCache";

const nlohmann::json* At(const nlohmann::json& root, std::string_view dotted) {
    std::string pointer;
    for (char c : dotted) {
        pointer += c == '.' ? '/' : c;
    }
    const nlohmann::json::json_pointer path("/" + pointer);
    return root.contains(path) ? &root.at(path) : nullptr;
}

std::int64_t Integer(const nlohmann::json& root, std::string_view path) {
    const nlohmann::json* v = At(root, path);
    return v && v->is_number_integer() ? v->get<std::int64_t>() : 0;
}
std::string Text(const nlohmann::json& root, std::string_view path) {
    const nlohmann::json* v = At(root, path);
    return v && v->is_string() ? v->get<std::string>() : std::string();
}
bool Flag(const nlohmann::json& root, std::string_view path) {
    const nlohmann::json* v = At(root, path);
    return v && v->is_boolean() && v->get<bool>();
}

std::string Location(const std::string& configured) {
    if (configured.empty() || configured == DefaultLocationText) {
        return BuildCacheFolder();
    }
    return platform::ToNativeSeparators(configured);
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        core::Raise(core::EGeneralError("Cannot open file \"" + path + "\""));
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool TryFolder(const std::string& dir, std::string& result) {
    if (dir.empty() || !platform::ForceDirectories(dir)) {
        return false;
    }
    result = dir;
    return true;
}

} // namespace

std::string CommonDataFolder() {
    std::string result;
    if (TryFolder(platform::GetEnvVar("TAVRIX_DATA_DIR").value_or("/var/lib/tavrix"), result)) {
        return result;
    }
    std::string data = platform::GetEnvVar("XDG_DATA_HOME").value_or("");
    if (data.empty()) {
        if (const auto home = platform::GetEnvVar("HOME")) {
            data = *home + "/.local/share";
        }
    }
    if (TryFolder(data, result) ||
        TryFolder(platform::GetEnvVar("XDG_CONFIG_HOME").value_or(""), result)) {
        return result;
    }
    core::Raise(core::EGeneralError("Unable to get special path: common application data"));
}

std::string BuildCacheFolder() {
    return platform::IncludeTrailingDelimiter(CommonDataFolder()) + "Morvek/BuildCache";
}

std::string AgentFolder() {
    try {
        const auto key = platform::TRegistryKey::Open(platform::TRegRoot::LocalMachine,
                                                      AgentSettingsKey() + "\\Builder");
        return key ? key->ReadString("Folder").value_or("") : "";
    } catch (const std::exception&) {
        return "";
    }
}

std::string BuildCachePidFile() {
    return platform::IncludeTrailingDelimiter(BuildCacheFolder()) + "buildcache_service.pid";
}

TBuildCacheState QueryBuildCacheState() {
    const std::string folder = AgentFolder();
    if (folder.empty() || !platform::FileExists(platform::IncludeTrailingDelimiter(folder) +
                                                "resources/" + std::string(ConfigName))) {
        return bcsNotInstalled;
    }
    std::ifstream in(BuildCachePidFile());
    std::uint32_t pid = 0;
    if (in >> pid && platform::ProcessAlive(pid)) {
        return bcsRunning;
    }
    return bcsStopped;
}

TBuildCacheSettings TBuildCacheSettings::FromText(std::string_view defaultText,
                                                  std::string_view userText,
                                                  std::string_view defaultName) {
    nlohmann::json root = nlohmann::json::parse(defaultText, nullptr, false);
    if (root.is_discarded() || root.is_null()) {
        core::Raise(
            core::EGeneralError("Default Build Cache service configuration file not found: " +
                                std::string(defaultName)));
    }
    if (!userText.empty()) {
        const nlohmann::json user = nlohmann::json::parse(userText, nullptr, false);
        if (user.is_discarded() || !(user.is_object() || user.is_null())) {
            core::Raise(core::EGeneralError("Invalid Build Cache service configuration file"));
        }
        // A recursive merge: objects merge member by member and every other user value,
        // null included, replaces the default (a merge patch would delete on null).
        if (user.is_object()) {
            if (!root.is_object()) {
                root = nlohmann::json::object();
            }
            root.update(user, true);
        }
    }
    TBuildCacheSettings s;
    s.ServicePort = Integer(root, "service.port");
    s.GridId = Text(root, "service.gridId");
    s.UseTls = Flag(root, "service.useTls");
    s.TlsCnPattern = Text(root, "service.tlsCnPattern");
    s.Compression = Text(root, "service.compression");
    s.DatabasePort = Integer(root, "localRedisInstance.port");
    s.DatabaseLocation = Location(Text(root, "localRedisInstance.dbLocation"));
    s.DatabaseLocationUser = Text(root, "localRedisInstance.dbLocationUser");
    s.CacheDirectory = Location(Text(root, "fileSystem.cacheDirectoryLocation"));
    s.RemoteUser = Text(root, "fileSystem.remoteUser");
    s.MaxCacheSize = Integer(root, "cacheCleaner.maxCacheSize");
    return s;
}

TBuildCacheSettings TBuildCacheSettings::Load() {
    const std::string defaultFile =
        platform::IncludeTrailingDelimiter(AgentFolder()) + "resources/" + std::string(ConfigName);
    const std::string userFile =
        platform::IncludeTrailingDelimiter(BuildCacheFolder()) + std::string(ConfigName);
    const std::string defaultText = ReadText(defaultFile);
    const std::string userText = platform::FileExists(userFile) ? ReadText(userFile) : "";
    return FromText(defaultText, userText, defaultFile);
}

std::string TBuildCacheSettings::TaskInfoDatabase() const {
    return platform::IncludeTrailingDelimiter(CacheDirectory) + "TaskExtraInfo.db";
}

bool ClearBuildCacheData(const std::function<void(std::string_view)>& out) {
    try {
        auto key = platform::TRegistryKey::Open(platform::TRegRoot::LocalMachine,
                                                AgentSettingsKey(), true);
        if (!key) {
            key = platform::TRegistryKey::Create(platform::TRegRoot::LocalMachine,
                                                 AgentSettingsKey());
        }
        key->CreateSubKey("Log");
    } catch (const std::exception&) {
        out("Please note that user has no administrative rights so cannot clear cache.");
        return false;
    }
    try {
        const TBuildCacheSettings settings = TBuildCacheSettings::Load();
        bool success = true;
        auto failed = [&](const std::string& what) {
            core::Log().Warning("Cache clean failed on attempt to delete " + what);
            success = false;
        };
        auto removeFolder = [&](const std::string& dir) {
            std::error_code ec;
            if (!fs::is_directory(dir, ec)) {
                return;
            }
            fs::remove_all(dir, ec);
            if (fs::exists(dir, ec)) {
                failed(dir);
            }
        };
        removeFolder(platform::IncludeTrailingDelimiter(settings.CacheDirectory) + "FileCache");
        removeFolder(platform::IncludeTrailingDelimiter(BuildCacheFolder()) + "Intermediate");
        std::error_code ec;
        if (fs::is_directory(settings.DatabaseLocation, ec)) {
            bool found = false;
            for (const auto& entry : fs::directory_iterator(settings.DatabaseLocation, ec)) {
                if (entry.path().extension() == ".rdb") {
                    found = true;
                    std::error_code rec;
                    if (!fs::remove(entry.path(), rec)) {
                        failed(entry.path().string());
                    }
                }
            }
            // No *.rdb left is a clean database, not a failure.
            if (!found) {
                core::Log().Line("No *.rdb files to delete in " + settings.DatabaseLocation);
            }
        }
        const std::string taskDb = settings.TaskInfoDatabase();
        if (fs::exists(taskDb, ec) && !fs::remove(taskDb, ec)) {
            failed(taskDb);
        }
        fs::remove(platform::IncludeTrailingDelimiter(BuildCacheFolder()) + "sync_timestamp", ec);
        return success;
    } catch (const std::exception& e) {
        out("Error: " + std::string(e.what()));
        return false;
    }
}

} // namespace build
