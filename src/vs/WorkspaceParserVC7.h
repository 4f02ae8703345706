#pragma once
// Visual Studio solution files (.sln), formats 7.00 to 13.00: a header that names
// the format, "Project(...) = name, path, {GUID}" ... "EndProject" blocks and a
// "Global" block of sections (configurations, mappings, dependencies, nesting).
#include "core/StringListEx.h"
#include "platform/Paths.h"
#include "vs/PathVariables.h"
#include "vs/WorkspaceParser.h"

#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vs {

class TWorkspaceParserVC7 : public TWorkspaceParserVC {
public:
    // With `readProjectFiles`, project references in project files become dependencies.
    explicit TWorkspaceParserVC7(bool readProjectFiles);

    void LoadFromFile(const std::string& fileName) override;
    // Parses solution text as if read from `fileName` (which names the folder that
    // relative project paths are taken against).
    void LoadFromText(const std::string& fileName, std::string_view text);
    TConfigTranslation TranslateConfiguration(const TWorkspaceProjectVC& project,
                                              std::string_view configuration) const override;

    int FormatIndex() const { return formatIndex; }
    const std::string& FileName() const { return fileName; }
    // Parent GUID of each nested item, from the "NestedProjects" section.
    const std::map<std::string, std::string, TCaseInsensitiveLess>& NestedProjects() const {
        return nested;
    }
    const std::map<std::string, std::string, TCaseInsensitiveLess>& SolutionFolders() const {
        return folders;
    }

private:
    int LineCount() const { return static_cast<int>(lines.size()); }
    bool NextLine(std::string_view& line);
    void ReadHeader();
    void ReadBody();
    void ReadProject(std::string_view line);
    void ReadProjectSections(TWorkspaceProjectVC* project);
    void ReadGlobal();
    void ReadGlobalDependencies();
    void ReadSolutionConfigurations();
    void ReadProjectConfigurations();
    void ReadNestedProjects();
    void SkipSection(std::string_view endDirective, std::string_view missingMessage);
    std::string SectionName(std::string_view line, std::string_view kind) const;
    void ReadProjectFileReferences(TWorkspaceProjectVC& project);
    void ResolveDependencies();
    void WarnProjectNotFound(std::string_view guid) const;
    std::string LinePrefix() const;

    bool readProjectFiles;
    bool loaded = false;
    std::string fileName;
    std::string folder;
    std::string fileText;                // the whole file
    std::vector<std::string_view> lines; // views into `fileText`
    int line = 0;                        // zero-based index of the line being read
    int formatIndex = 0;
    TVariableMap environment;
    platform::TPathCaseResolver pathResolver;
    // Projects by their GUID text in upper case (GUIDs compare ignoring case).
    std::unordered_map<std::string, TWorkspaceProjectVC*> guids;
    TWorkspaceProjectVC* FindProject(std::string_view guid) const;
    std::map<std::string, std::string, TCaseInsensitiveLess> folders;
    std::map<std::string, std::string, TCaseInsensitiveLess> nested;
};

} // namespace vs
