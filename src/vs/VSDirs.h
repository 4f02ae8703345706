#pragma once
// Where a Visual Studio version is installed.
#include <string>
#include <string_view>

namespace vs {

struct TVSDirs {
    std::string VCDir;  // Visual C++ product folder
    std::string VSDir;  // Visual Studio product folder
    std::string IDEDir; // folder of the IDE executable
};

// Versions up to 2015 from their own machine key; newer ones from the agent's
// "VSDirs" settings (per user, else machine-wide). Unknown folders are empty.
TVSDirs GetVSDirs(int versionIndex, std::string_view agentKey = "SOFTWARE\\Tavrix\\Morvek");

} // namespace vs
