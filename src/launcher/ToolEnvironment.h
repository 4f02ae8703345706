#pragma once
// Where the launcher finds the real tool and which environment the tool gets.
//
// The launcher stands in for a tool by name (a link in the masquerade folder) or
// by path (the exec hook passes --tool=PATH). The real tool is searched on PATH
// without the masquerade folder and without any file that is the launcher
// itself, so the launcher never starts itself again. The tool runs without the
// interception: no endpoint, no hook in LD_PRELOAD, no masquerade folder on
// PATH (a compiler's own assembler and linker calls are part of its task), and
// with a depth counter that stops launchers of different installs from calling
// each other in a loop.
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace launcher {

inline constexpr std::string_view EndpointVariable = "MORVEK_TASK_ENDPOINT";
inline constexpr std::string_view ToolsVariable = "MORVEK_TASK_TOOLS";
inline constexpr std::string_view LauncherVariable = "MORVEK_TASK_LAUNCHER";
inline constexpr std::string_view DepthVariable = "MORVEK_TASK_DEPTH";
// Set by the cache engine's grant: the tool then gets no other ccache setting.
inline constexpr std::string_view CacheStoreVariable = "CCACHE_DIR";
inline constexpr std::string_view HookFileName = "libMorvekHook.so";
inline constexpr std::string_view LauncherFileName = "morvek-task";
inline constexpr std::string_view MasqueradeFolderName = "masq";
// Launchers nested deeper than this refuse to run (a loop between installs).
inline constexpr int MaxDepth = 4;

// The value of `name` in "name=value" entries; empty when absent.
std::string ValueOf(const std::vector<std::string>& env, std::string_view name);

// The masquerade folder of the launcher whose resolved file is `launcherFile`.
std::string MasqueradeFolderOf(std::string_view launcherFile);

// The first executable `name` on `searchPath` (":"-separated) that is neither in
// `masqueradeFolder` nor the file `launcherFile` (by any link); empty when there is none.
std::string FindRealTool(std::string_view name, std::string_view searchPath,
                         std::string_view launcherFile, std::string_view masqueradeFolder);

// `searchPath` without the masquerade folder.
std::string PathWithoutFolder(std::string_view searchPath, std::string_view folder);

// The environment of the tool: `env` without the interception variables, the hook
// and the masquerade folder (and without ccache's variables when `extra` sets the
// cache's store), with the depth `depth` and the `extra` entries set.
std::vector<std::string> ToolEnvironment(const std::vector<std::string>& env,
                                         std::string_view masqueradeFolder, int depth,
                                         const std::map<std::string, std::string>& extra);

} // namespace launcher
