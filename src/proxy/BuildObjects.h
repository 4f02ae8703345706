#pragma once
// The names through which the console, the build-system process and the agent meet
// for one build. All are formed from the build identity text, the build GUID as
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
//
//   Morvek_Build_<id>_Start_SyncWithProxyEvent  auto-reset event, console creates,
//                                               build system sets once initialised
//   Morvek_Build_<id>_OwnerTermination          mutex the console holds for the build
//   Morvek_Build_<id>_OwnerAttachedEvent        event the build system creates and the
//                                               console sets once it reads the stream
//   Global\TavrixBuildMutex_<id>                mutex the build system holds while it runs
//                                               (others may only query it)
//   Global\TavrixBuildStop_<id>                 manual-reset event the agent sets to stop it
//                                               (others may only wait for it)
//   <agent temp folder>/u<uid>/<id>.mv_bld_cmd  the build request, as a record file (0600,
//                                               in the user's own 0700 folder; the
//                                               temp folder is sticky 1777 like /tmp)
// The build's event stream is the growing shared stream of the build GUID.
#include <cstdint>
#include <string>
#include <string_view>

namespace build {

// Leaves the build system before it signals the start event to ask for a new start.
constexpr int BuildSystemRestartExitCode = 217;
// The build-system program in the agent folder.
constexpr std::string_view BuildSystemProgram = "VaridAdeziz";

std::string StartEventName(std::string_view identity);
std::string OwnerTerminationMutexName(std::string_view identity);
std::string OwnerAttachedEventName(std::string_view identity);
// "TavrixBuildMutex_<id>", with "Global\" first when `global`.
std::string BuildMutexName(std::string_view identity, bool global);
std::string BuildStopEventName(std::string_view identity);
std::string IDEMonitorMutexName(std::uint32_t pid);
// "<folder>/<id>.mv_bld_cmd"
std::string HandOffFilePath(std::string_view folder, std::string_view identity);
// "<temp folder>/u<uid>": this user's own folder for hand-off files.
std::string HandOffFolder(std::string_view tempFolder);
// Checks (and creates when missing) the shared temp folder and this user's own folder
// in it; raises with the reason when either may be touched by another user. Returns
// the user's folder.
std::string PrepareHandOffFolder(std::string_view tempFolder);

} // namespace build
