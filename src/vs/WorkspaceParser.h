#pragma once
// The common model of a solution or workspace: its projects, their dependencies
// and configuration mappings, and the solution configurations.
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace vs {

struct TCaseInsensitiveLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
};
using TConfigMap = std::map<std::string, std::string, TCaseInsensitiveLess>;

struct TWorkspaceDependency {
    std::string Name;
    std::string Path;
    std::string GUID; // as written
};

// A managed-code project reference found in a project file.
struct TCSharpProjectReference {
    std::string GUID;
    std::string AssemblyName; // the referenced name + ".dll"
    std::string ProjectFile;  // the referring project file
    bool Private = true;
};

class TWorkspaceProjectVC {
public:
    std::string Name;
    std::string FilePath; // as written in the solution
    std::string FullPath; // expanded and absolute
    std::string BaseName;
    std::string GUID;
    std::vector<TWorkspaceDependency> Dependencies;
    TConfigMap BuildConfigs;  // solution configuration -> project configuration built
    TConfigMap ActiveConfigs; // solution configuration -> active project configuration
    std::vector<TCSharpProjectReference> References;

    // Adds a dependency unless its GUID is already listed.
    void AddDependency(std::string guid, std::string name = {}, std::string path = {});
    // Older workspaces name their dependencies only.
    void AddDependencyByName(std::string name);
    void RemoveDependency(std::size_t index);

private:
    std::unordered_set<std::string> dependencyGuids; // upper-case GUID texts
};

struct TConfigTranslation {
    std::string Configuration;
    bool Built = false;
};

class TWorkspaceParserVC {
public:
    virtual ~TWorkspaceParserVC() = default;

    virtual TConfigTranslation TranslateConfiguration(const TWorkspaceProjectVC& project,
                                                      std::string_view configuration) const;
    virtual void LoadFromFile(const std::string& fileName);

    // Projects in the order of their names (ignoring case); equal names keep the
    // later definition first.
    int ProjectCount() const { return static_cast<int>(projects.size()); }
    TWorkspaceProjectVC& Project(int index) const;
    const std::vector<std::string>& SolutionConfigurations() const { return configurations; }

protected:
    TWorkspaceProjectVC& AddProject(std::string name);
    // Puts the projects in name order; called once loading is complete.
    void SortProjects();

    std::vector<std::unique_ptr<TWorkspaceProjectVC>> projects;
    std::vector<std::string> configurations;
};

// ".sln" gives the solution parser (reading project files for references), ".dsw" and
// ".vcw" the older workspace parser; other extensions give no parser.
std::unique_ptr<TWorkspaceParserVC> CreateWorkspaceParser(std::string_view fileName);

} // namespace vs
