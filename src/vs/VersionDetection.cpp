#include "core/Errors.h"
#include "core/StringListEx.h"
#include "core/TextHelpers.h"
#include "platform/Paths.h"
#include "vs/ProjectParserVC7.h"
#include "vs/VSVersion.h"
#include "vs/WorkspaceParserVC7.h"
#include "vs/XmlUtils.h"

namespace vs {

namespace {

// The version a project file states, or empty: .vcproj/.icproj their version text,
// .csproj/.vbproj the "ProductVersion" of the document element's first child.
std::string ProjectFileVersion(const std::string& fileName, int formatIndex) {
    TProjectParserVC7 parser(formatIndex);
    if (parser.CanLoad(fileName)) {
        parser.LoadFromFile(fileName);
        return parser.VersionText;
    }
    const std::string ext = core::LowerCaseAscii(platform::ExtractFileExt(fileName));
    if (ext != ".csproj" && ext != ".vbproj") {
        return {};
    }
    pugi::xml_document document;
    std::string reason;
    if (!LoadXmlFile(document, fileName, reason)) {
        return {};
    }
    const pugi::xml_node first = document.document_element().first_child();
    return first ? OptionalAttribute(first, "ProductVersion") : std::string();
}

std::string Normalise(const std::string& text) {
    const int index = VSIndexFromVersionText(text);
    return index != 0 ? VSVersionText(index) : text;
}

std::string Detect(const std::string& fileName) {
    const std::string ext = core::LowerCaseAscii(platform::ExtractFileExt(fileName));
    if (ext == ".sln") {
        TWorkspaceParserVC7 parser(true);
        parser.LoadFromFile(fileName);
        for (int i = 0; i < parser.ProjectCount(); ++i) {
            const TWorkspaceProjectVC& project = parser.Project(i);
            if (!platform::FileExists(project.FullPath)) {
                continue;
            }
            const std::string version = ProjectFileVersion(project.FullPath, parser.FormatIndex());
            if (!version.empty()) {
                return Normalise(version);
            }
        }
        if (parser.FormatIndex() == 0) {
            core::Raise(core::EGeneralError(
                "Version information could not be found in .sln or .vcproj files."));
        }
        return VSVersionText(parser.FormatIndex());
    }
    if (ext == ".vcproj" || ext == ".icproj") {
        TProjectParserVC7 parser(0);
        parser.LoadFromFile(fileName);
        return Normalise(parser.VersionText);
    }
    if (ext == ".vcxproj" || ext == ".proj") {
        return Normalise(MSBuildToolsetVersion(fileName));
    }
    core::Raise(core::EGeneralError("Unknown file type: " + fileName));
}
} // namespace

std::string DetectVersion(const std::string& fileName) {
    try {
        return Detect(fileName);
    } catch (...) {
        core::RethrowWrapped("Failed to detect version of solution/project file: " + fileName);
    }
}

} // namespace vs
