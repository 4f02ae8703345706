#include "vs/ProjectReferences.h"

#include "core/Errors.h"
#include "core/Guid.h"
#include "core/StringListEx.h"
#include "core/TextHelpers.h"
#include "platform/Paths.h"
#include "vs/ProjectParserVC7.h"
#include "vs/XmlUtils.h"

namespace vs {

namespace {
using core::IsBracedGuid;

// Children of `node` named `name` (ignoring case).
template <typename F> void ForEachChild(pugi::xml_node node, std::string_view name, F f) {
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
        if (child.type() == pugi::node_element && core::SameText(child.name(), name)) {
            f(child);
        }
    }
}

void ReadCSharpProject(const std::string& projectFile, std::vector<TProjectFileReference>& result) {
    pugi::xml_document document;
    std::string reason;
    if (!LoadXmlFile(document, projectFile, reason)) {
        core::Raise(core::EGeneralError("Invalid file format: " + reason));
    }
    // The older form: VisualStudioProject/CSHARP/Build/References/Reference[@Project].
    pugi::xml_node references = FindChild(document, "VisualStudioProject");
    for (const std::string_view name : {"CSHARP", "Build", "References"}) {
        references = references ? FindChild(references, name) : pugi::xml_node();
    }
    if (references) {
        ForEachChild(references, "Reference", [&](pugi::xml_node reference) {
            const std::string guid = OptionalAttribute(reference, "Project");
            if (IsBracedGuid(guid)) {
                result.push_back({guid, std::nullopt});
            }
        });
    }
    // The MSBuild form: Project/ItemGroup/ProjectReference with a Project child.
    const pugi::xml_node project = FindChild(document, "Project");
    if (!project) {
        return;
    }
    ForEachChild(project, "ItemGroup", [&](pugi::xml_node group) {
        ForEachChild(group, "ProjectReference", [&](pugi::xml_node reference) {
            const pugi::xml_node id = FindChild(reference, "Project");
            const std::string guid(core::TrimText(id.text().get()));
            if (!id || !IsBracedGuid(guid)) {
                return;
            }
            TProjectFileReference entry{guid, std::nullopt};
            if (const pugi::xml_node name = FindChild(reference, "Name")) {
                const pugi::xml_node isPrivate = FindChild(reference, "Private");
                entry.CSharp = TCSharpProjectReference{
                    guid, std::string(name.text().get()) + ".dll", projectFile,
                    !(isPrivate && std::string_view(isPrivate.text().get()) == "False")};
            }
            result.push_back(std::move(entry));
        });
    });
}
} // namespace

std::vector<TProjectFileReference> ReadProjectReferences(const std::string& projectFile,
                                                         int solutionFormatIndex) {
    std::vector<TProjectFileReference> result;
    if (core::SameText(platform::ExtractFileExt(projectFile), ".csproj")) {
        ReadCSharpProject(projectFile, result);
        return result;
    }
    TProjectParserVC7 parser(solutionFormatIndex);
    if (parser.CanLoad(projectFile)) {
        parser.LoadFromFile(projectFile);
        for (const TProjectReferenceVC& reference : parser.ProjectReferences) {
            result.push_back({reference.GUID, std::nullopt});
        }
    }
    return result;
}

} // namespace vs
