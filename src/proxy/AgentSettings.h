#pragma once
// Where the local agent keeps its settings in the registry store, and the values of
// its "Builder" subkey that the console and the build system read.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace build {

// "SOFTWARE\Tavrix\" + the product's registry name from the product information.
std::string AgentSettingsKey();
// A boolean value of the agent's "Builder" settings (machine-wide); `fallback` when absent.
bool ReadBuilderFlag(std::string_view name, bool fallback);
// An integer value of the "Builder" settings; none when absent or unreadable.
std::optional<std::int64_t> ReadBuilderInteger(std::string_view name);
// The agent installation folder ("Builder\Folder"); raises "Failed to read <key>
// Agent installation folder from registry." when it is not set.
std::string RequireAgentFolder();
// The agent's temporary folder: "Builder\TempDir", else the agent folder + "/Temp".
std::string AgentTempFolder();

} // namespace build
