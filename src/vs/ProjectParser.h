#pragma once
// The common model of a project file: name, configurations, version text, and the
// project and assembly references it lists.
#include "core/StringListEx.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vs {

// "True" -> 0, "False" -> 1 (ignoring case), anything else or absent -> 2.
enum class TCopyLocal : std::uint8_t { Yes = 0, No = 1, Unset = 2 };
TCopyLocal ParseCopyLocal(std::string_view text);

struct TProjectReferenceVC {
    std::string GUID;
    std::string Name;
    TCopyLocal CopyLocal = TCopyLocal::Unset;
    TCopyLocal CopyLocalDependencies = TCopyLocal::Unset;
    TCopyLocal CopyLocalSatelliteAssemblies = TCopyLocal::Unset;
    bool UseDependenciesInBuild = true;
};

struct TAssemblyVersion {
    bool Set = false;
    int Parts[4] = {0, 0, 0, 0};
};

struct TProjectAssemblyReference {
    std::string RelativePath;
    std::string AssemblyName;
    TAssemblyVersion Version; // from the "Version=a.b.c.d" entry of AssemblyName
    TCopyLocal CopyLocal = TCopyLocal::Unset;
};
TAssemblyVersion ParseAssemblyVersion(std::string_view assemblyName);

class TProjectParserVC {
public:
    virtual ~TProjectParserVC() = default;

    virtual void Clear();
    virtual void LoadFromFile(const std::string& fileName) = 0;
    virtual bool CanLoad(std::string_view fileName) const;
    // Appends the project's file names as written in the project.
    virtual void GetFiles(core::TStringListEx& files) const;

    std::string ProjectName;
    core::TStringListEx Configurations{core::TStringListOptions{.CaseSensitive = true}};
    // Parallel to Configurations: the target type text and its index (older formats).
    std::vector<std::string> ConfigurationTargetTypes;
    std::vector<std::uint8_t> ConfigurationTargetIndexes;
    std::string VersionText;
    std::vector<TProjectReferenceVC> ProjectReferences;
    std::vector<TProjectAssemblyReference> AssemblyReferences;

protected:
    // Adds a configuration name unless it is already listed.
    void AddConfiguration(const std::string& name, std::string targetType = {},
                          std::uint8_t targetIndex = 0);
};

// ".vcproj" and ".icproj" give the XML project parser, ".dsp" and ".vcp" the parsers
// of the older text formats; other files give none.
std::unique_ptr<TProjectParserVC> CreateProjectParser(std::string_view fileName);

} // namespace vs
