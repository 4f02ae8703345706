#pragma once
// XML project files of Visual Studio 2002 to 2008 (.vcproj) and the Intel wrapper
// (.icproj) that names a nested .vcproj.
#include "vs/ProjectParser.h"

#include <pugixml.hpp>

#include <list>
#include <string>
#include <vector>

namespace vs {

class TProjectParserVC7 : public TProjectParserVC {
public:
    // `versionIndex` 0 takes the version from the file.
    explicit TProjectParserVC7(int versionIndex) : versionIndex(versionIndex) {}

    void Clear() override;
    void LoadFromFile(const std::string& fileName) override;
    bool CanLoad(std::string_view fileName) const override;
    void GetFiles(core::TStringListEx& files) const override;

    int VersionIndex() const { return versionIndex; }
    const std::string& RootNamespace() const { return rootNamespace; }
    bool IsIntelProject() const { return intel; }
    // Major * 256 + minor; 0 when unknown.
    int IntelCompilerVersion() const { return intelVersion; }

private:
    pugi::xml_document& LoadDocument(const std::string& fileName);
    void ReadProject(pugi::xml_node project, const std::string& fileName);
    void ReadElements(pugi::xml_node project, const std::string& fileName);

    int versionIndex;
    std::string fileName;
    std::string rootNamespace;
    bool intel = false;
    int intelVersion = 0;
    std::list<pugi::xml_document> documents; // the project file and a nested one
    pugi::xml_node projectNode;
    pugi::xml_node configurationsNode;
    pugi::xml_node filesNode;
    pugi::xml_node referencesNode;
    pugi::xml_node toolFilesNode;
    std::vector<std::string> nestingChain; // absolute names of the files being read
};

// Intel compiler version (major * 256 + minor) of an Intel project's version text.
int IntelCompilerVersionOf(std::string_view versionText);

// The Visual Studio version text ("9.00", "10.0" ... "15.0") of an MSBuild project's
// platform toolset.
std::string MSBuildToolsetVersion(const std::string& fileName);

// The version text that decides how a solution or project is built.
std::string DetectVersion(const std::string& fileName);

} // namespace vs
