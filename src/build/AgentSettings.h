#pragma once
// Where the local agent keeps its settings in the registry store.
#include <string>
#include <string_view>

namespace build {

// "SOFTWARE\Tavrix\" + the product's registry name from the product information.
std::string AgentSettingsKey();
// A boolean value of the agent's "Builder" settings (machine-wide); `fallback` when absent.
bool ReadBuilderFlag(std::string_view name, bool fallback);

} // namespace build
