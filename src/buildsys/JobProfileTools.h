#pragma once
// Which tools of a build are intercepted: the file name patterns that the exec hook
// matches (MORVEK_TASK_TOOLS).
#include "records/BuildPackets.h"
#include "records/ProfilePackets.h"

#include <string>
#include <vector>

namespace buildsys {

// The Filename of every tool the profile allows to intercept, in profile order,
// without repeats.
std::vector<std::string> InterceptedToolPatterns(const records::TXml_ProfileDocument& profile);

// The tool names the build intercepts: the names in the installed masquerade folder
// <agentFolder>/masq (each one a tool that the profile intercepts by bare name), in
// name order; none when it is not installed. Raises when it cannot be read.
std::vector<std::string> JobProfileToolPatterns(const std::string& agentFolder,
                                                const records::TBuildCommandPacket& request);

} // namespace buildsys
