#include "proxy/BuildObjects.h"

#include "core/Errors.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/SharedObjects.h"

namespace build {

namespace {
std::string BuildObject(std::string_view identity, std::string_view suffix) {
    return "Morvek_Build_" + std::string(identity) + std::string(suffix);
}
} // namespace

std::string StartEventName(std::string_view identity) {
    return BuildObject(identity, "_Start_SyncWithProxyEvent");
}

std::string OwnerTerminationMutexName(std::string_view identity) {
    return BuildObject(identity, "_OwnerTermination");
}

std::string OwnerAttachedEventName(std::string_view identity) {
    return BuildObject(identity, "_OwnerAttachedEvent");
}

std::string BuildMutexName(std::string_view identity, bool global) {
    return std::string(global ? "Global\\" : "") + "TavrixBuildMutex_" + std::string(identity);
}

std::string BuildStopEventName(std::string_view identity) {
    return "Global\\TavrixBuildStop_" + std::string(identity);
}

std::string IDEMonitorMutexName(std::uint32_t pid) {
    return "Morvek_UseIDEMonitor_Mutex_" + std::to_string(pid);
}

std::string HandOffFilePath(std::string_view folder, std::string_view identity) {
    return platform::IncludeTrailingDelimiter(std::string(folder)) + std::string(identity) +
           ".mv_bld_cmd";
}

std::string HandOffFolder(std::string_view tempFolder) {
    return platform::IncludeTrailingDelimiter(std::string(tempFolder)) + "u" +
           std::to_string(platform::CurrentUserId());
}

std::string PrepareHandOffFolder(std::string_view tempFolder) {
    std::string error;
    const std::string parent = platform::ExtractFileDir(tempFolder);
    if (!parent.empty() && !platform::ForceDirectories(parent, &error)) {
        core::Raise(core::EGeneralError("Cannot create folder \"" + parent + "\": " + error));
    }
    const std::string folder = HandOffFolder(tempFolder);
    if (!platform::EnsureSharedDirectory(tempFolder, &error) ||
        !platform::EnsurePrivateDirectory(folder, &error)) {
        core::Raise(
            core::EGeneralError("The build's hand-off folder is not safe to use.\r\n" + error));
    }
    return folder;
}

} // namespace build
