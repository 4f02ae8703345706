#pragma once
// Workspaces of the oldest generations (.dsw, and .vcw for embedded devices):
// "Project: name=path" lines with dependency blocks that name other projects.
#include "vs/WorkspaceParser.h"

namespace vs {

class TWorkspaceParserVC6 : public TWorkspaceParserVC {
public:
    void LoadFromFile(const std::string& fileName) override;
    void LoadFromText(const std::string& fileName, std::string_view text);
};

} // namespace vs
