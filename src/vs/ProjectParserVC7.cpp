#include "vs/ProjectParserVC7.h"

#include "core/Errors.h"
#include "core/Guid.h"
#include "core/TextHelpers.h"
#include "platform/Paths.h"
#include "platform/Registry.h"
#include "vs/VSVersion.h"
#include "vs/XmlUtils.h"

#include <algorithm>
#include <limits>

namespace vs {

namespace {
using core::IsBracedGuid;

// An Intel project names one nested project; real chains are one level deep.
constexpr std::size_t MaxNesting = 8;

[[noreturn]] void Fail(const std::string& message) {
    core::Raise(core::EGeneralError(message));
}

// Runs `f`; a failure is raised again as `context` CR LF its message.
template <typename F> void WithContext(const std::string& context, F f) {
    try {
        f();
    } catch (...) {
        core::RethrowWrapped(context);
    }
}

} // namespace

void TProjectParserVC7::Clear() {
    TProjectParserVC::Clear();
    rootNamespace.clear();
    intel = false;
    intelVersion = 0;
    documents.clear();
    projectNode = configurationsNode = filesNode = referencesNode = toolFilesNode = {};
    nestingChain.clear();
}

bool TProjectParserVC7::CanLoad(std::string_view name) const {
    const std::string ext = platform::ExtractFileExt(name);
    return core::SameText(ext, ".vcproj") || core::SameText(ext, ".icproj");
}

pugi::xml_document& TProjectParserVC7::LoadDocument(const std::string& name) {
    if (!platform::FileExists(name)) {
        Fail("File not found: " + name);
    }
    pugi::xml_document& document = documents.emplace_back();
    std::string reason;
    if (!LoadXmlFile(document, name, reason)) {
        // Some declared encodings confuse the loader; the text reader copes with them.
        const std::string text = core::TStringListEx::ReadFileAsText(
            name, std::numeric_limits<std::size_t>::max(), true);
        if (!LoadXmlText(document, text, reason)) {
            Fail("Invalid file format: " + reason);
        }
    }
    return document;
}

void TProjectParserVC7::LoadFromFile(const std::string& name) {
    fileName = name;
    // Absolute, so that a nested project is found beside a relative one.
    const std::string absolute = platform::ExpandPath(name, platform::GetCurrentDir());
    nestingChain = {absolute};
    WithContext("Failed to load project file: " + name, [&] {
        pugi::xml_document& document = LoadDocument(name);
        for (pugi::xml_node node = document.first_child(); node; node = node.next_sibling()) {
            if (node.type() == pugi::node_element &&
                std::string_view(node.name()) == "VisualStudioProject") {
                ReadProject(node, absolute);
            }
        }
        if (!configurationsNode) {
            Fail("'Configurations' node not found.");
        }
        if (!filesNode) {
            Fail("'Files' node not found.");
        }
        if (!projectNode) {
            Fail("'VisualStudioProject' node not found.");
        }
    });
}

void TProjectParserVC7::ReadProject(pugi::xml_node project, const std::string& file) {
    ProjectName = "(unknown)";
    try {
        ReadElements(project, file);
    } catch (...) {
        core::RethrowWrapped("Error loading project: " + ProjectName);
    }
}

void TProjectParserVC7::ReadElements(pugi::xml_node project, const std::string& file) {
    projectNode = project;
    ProjectName = RequiredAttribute(project, "Name");
    VersionText = RequiredAttribute(project, "Version");
    rootNamespace = OptionalAttribute(project, "RootNamespace", ProjectName);
    const std::string projectType = RequiredAttribute(project, "ProjectType");
    const bool intelElement = projectType == "Intel C++" || projectType == "Intel C++ Project";
    intel = intel || intelElement;
    if (versionIndex == 0) {
        versionIndex = VSIndexFromVersionText(VersionText);
    }
    if (projectType != "Visual C++" && !intel) {
        Fail("Unknown project type. Expected: 'Visual C++'");
    }
    const std::string baseName = platform::FileNameWithoutExt(file);
    for (pugi::xml_node child = project.first_child(); child; child = child.next_sibling()) {
        const std::string_view name = child.name();
        if (name == "ToolFiles" && !toolFilesNode) {
            toolFilesNode = child;
        } else if (name == "Configurations") {
            configurationsNode = child;
            for (pugi::xml_node config : child.children("Configuration")) {
                std::string configName = "(unknown)";
                try {
                    configName = RequiredAttribute(config, "Name");
                    AddConfiguration(
                        XenonPlatformName(baseName + " - " + configName, versionIndex));
                } catch (...) {
                    core::RethrowWrapped("Error loading configuration: " + configName);
                }
            }
        } else if (name == "References") {
            referencesNode = child;
            for (pugi::xml_node reference : child.children("ProjectReference")) {
                const std::string guid =
                    OptionalAttribute(reference, "ReferencedProjectIdentifier");
                if (!IsBracedGuid(guid)) {
                    continue;
                }
                TProjectReferenceVC entry;
                entry.GUID = guid;
                entry.Name = OptionalAttribute(reference, "Name");
                entry.CopyLocal = ParseCopyLocal(OptionalAttribute(reference, "CopyLocal"));
                entry.UseDependenciesInBuild =
                    !reference.attribute("UseDependenciesInBuild") ||
                    core::SameText(OptionalAttribute(reference, "UseDependenciesInBuild"), "true");
                entry.CopyLocalDependencies =
                    ParseCopyLocal(OptionalAttribute(reference, "CopyLocalDependencies"));
                entry.CopyLocalSatelliteAssemblies =
                    ParseCopyLocal(OptionalAttribute(reference, "CopyLocalSatelliteAssemblies"));
                ProjectReferences.push_back(std::move(entry));
            }
            for (pugi::xml_node reference : child.children("AssemblyReference")) {
                TProjectAssemblyReference entry;
                entry.RelativePath = OptionalAttribute(reference, "RelativePath");
                if (entry.RelativePath.empty()) {
                    continue;
                }
                entry.AssemblyName = OptionalAttribute(reference, "AssemblyName");
                entry.Version = ParseAssemblyVersion(entry.AssemblyName);
                entry.CopyLocal = ParseCopyLocal(OptionalAttribute(reference, "CopyLocal"));
                AssemblyReferences.push_back(std::move(entry));
            }
        } else if (name == "Files") {
            filesNode = child;
        }
    }
    if (!intelElement) {
        return;
    }
    const std::string intelVersionText = VersionText;
    intelVersion = IntelCompilerVersionOf(intelVersionText);
    const std::string nested = OptionalAttribute(project, "VCNestedProjectFileName");
    if (nested.empty()) {
        Fail("Could not find the VCNestedProjectFileName attribute.");
    }
    const std::string nestedPath = platform::ResolvePathCase(
        platform::ExpandPath(platform::ToNativeSeparators(nested), platform::ExtractFileDir(file)));
    if (!platform::FileExists(nestedPath)) {
        Fail("File in VCNestedProjectFileName attribute does not exist. FileName = \"" +
             nestedPath + "\"");
    }
    // The name as written must say .vcproj exactly, whatever case the file has on disk.
    if (platform::ExtractFileExt(platform::ToNativeSeparators(nested)) != ".vcproj") {
        Fail("File in VCNestedProjectFileName attribute does is not a vcproj file. FileName = \"" +
             nestedPath + "\"");
    }
    // A nested file that names a file of the chain again would be read without end.
    if (std::find(nestingChain.begin(), nestingChain.end(), nestedPath) != nestingChain.end()) {
        Fail("Project files nest each other in a cycle. FileName = \"" + nestedPath + "\"");
    }
    if (nestingChain.size() >= MaxNesting) {
        Fail("Project files are nested too deeply. FileName = \"" + nestedPath + "\"");
    }
    nestingChain.push_back(nestedPath);
    pugi::xml_document& document = LoadDocument(nestedPath);
    for (pugi::xml_node node = document.first_child(); node; node = node.next_sibling()) {
        if (node.type() == pugi::node_element &&
            std::string_view(node.name()) == "VisualStudioProject") {
            ReadElements(node, nestedPath);
        }
    }
    nestingChain.pop_back();
    if (intelVersion == 0) {
        Fail("Project is of an unknown or unsupported Intel Compiler version: " + intelVersionText);
    }
}

void TProjectParserVC7::GetFiles(core::TStringListEx& files) const {
    if (!filesNode) {
        return;
    }
    // Depth first in file order, without recursion: filters may nest to any depth.
    const auto walked = [](std::string_view name) { return name == "File" || name == "Filter"; };
    pugi::xml_node node = filesNode.first_child();
    while (node) {
        if (std::string_view(node.name()) == "File") {
            files.Add(RequiredAttribute(node, "RelativePath"));
        }
        if (walked(node.name()) && node.first_child()) {
            node = node.first_child();
            continue;
        }
        // Next sibling, else the next sibling of the nearest walked ancestor.
        while (node != filesNode && !node.next_sibling()) {
            node = node.parent();
        }
        node = node == filesNode ? pugi::xml_node() : node.next_sibling();
    }
}

int IntelCompilerVersionOf(std::string_view text) {
    int major = 0;
    int minor = 0;
    if (text.size() >= 2 && core::SameText(text.substr(0, 2), "PE")) {
        const std::string_view rest = text.substr(2);
        const std::size_t dot = rest.find('.');
        const std::string_view majorText =
            dot != std::string_view::npos ? rest.substr(0, dot) : rest.substr(0, rest.find('_'));
        const std::string_view minorText =
            dot != std::string_view::npos ? rest.substr(dot + 1) : std::string_view("0");
        if (!core::TryParseInt32(majorText, major) || !core::TryParseInt32(minorText, minor)) {
            return 0;
        }
        if (major > 100) {
            minor = major % 10;
            major /= 10;
        }
    } else if (text.size() >= 2 && core::SameText(text.substr(0, 2), "PC")) {
        const std::string_view rest = text.substr(2);
        if (rest.empty()) {
            return 0;
        }
        const auto suites = platform::TRegistryKey::Open(platform::TRegRoot::LocalMachine,
                                                         "Software\\Intel\\Suites\\" +
                                                             std::string(1, rest.front()) + "." +
                                                             std::string(1, rest.back()));
        if (!suites) {
            return 0;
        }
        std::int64_t bestMinor = -1;
        std::int64_t bestMajor = 0;
        for (const std::string& name : suites->SubKeyNames()) {
            if (core::SameText(name, "Defaults")) {
                continue;
            }
            const auto cpp = suites->OpenSubKey(name + "\\C++");
            const std::optional<std::int64_t> minorValue =
                cpp ? cpp->ReadInteger("Minor Version") : std::nullopt;
            if (minorValue && *minorValue > bestMinor) {
                bestMinor = *minorValue;
                bestMajor = cpp->ReadInteger("Major Version").value_or(0);
            }
        }
        if (bestMinor < 0) {
            return 0;
        }
        major = static_cast<int>(bestMajor);
        minor = static_cast<int>(bestMinor);
    } else {
        std::string version(text);
        if (version.size() >= 10 &&
            core::SameText(std::string_view(version).substr(0, 10), "Intel C++ ")) {
            version.erase(0, 10);
        }
        for (char& c : version) {
            if (c == ',') {
                c = '.';
            }
        }
        const std::size_t bad = version.find_first_not_of("0123456789.");
        version = version.substr(0, bad);
        while (std::count(version.begin(), version.end(), '.') > 1) {
            version.erase(version.rfind('.'));
        }
        if (version.find('.') == std::string::npos) {
            version += ".0";
        }
        const std::size_t dot = version.find('.');
        if (!core::TryParseInt32(std::string_view(version).substr(0, dot), major) ||
            !core::TryParseInt32(std::string_view(version).substr(dot + 1), minor) || minor > 9) {
            return 0;
        }
    }
    if (major < 0 || minor < 0 || major > 255 || minor > 255) {
        return 0;
    }
    return major * 256 + minor;
}

std::string MSBuildToolsetVersion(const std::string& fileName) {
    if (!platform::FileExists(fileName)) {
        Fail("File not found: " + fileName);
    }
    pugi::xml_document document;
    std::string reason;
    if (!LoadXmlFile(document, fileName, reason)) {
        Fail("Invalid file format: " + reason);
    }
    const pugi::xml_node project = RequiredChild(document, "Project");
    int best = 0;
    bool any = false;
    for (pugi::xml_node group = project.first_child(); group; group = group.next_sibling()) {
        if (!core::SameText(group.name(), "PropertyGroup")) {
            continue;
        }
        const std::string label = OptionalAttribute(group, "Label");
        if (!core::SameText(label, "Configuration") && !core::SameText(label, "Globals")) {
            continue;
        }
        const pugi::xml_node toolset = FindChild(group, "PlatformToolset");
        if (!toolset) {
            continue;
        }
        const std::string_view written = core::TrimText(toolset.text().get());
        std::string_view text = written;
        while (!text.empty() && (text.front() == 'c' || text.front() == 'v')) {
            text.remove_prefix(1);
        }
        int number = 0;
        if (text == "120_CTP_Nov2012") {
            number = 110;
        } else if (!core::TryParseInt32(text, number)) {
            Fail("When executing a Ravelcon command on a single project that includes a custom "
                 "toolset \"" +
                 std::string(written) +
                 "\", the following switch should be added to the Ravelcon command specifying to "
                 "Morvek which Visual Studio version this toolset is based upon: /VsVersion=Visual "
                 "Studio tool set (vc8 - VS2005, vc9 - VS2008, vc10 - VS2010, vc11- VS2012)\r\n'" +
                 std::string(text) + "' is not a valid integer value");
        }
        best = any ? std::max(best, number) : number;
        any = true;
    }
    if (best == 90) {
        return "9.00";
    }
    if (best == 110) {
        return "11.0";
    }
    if (best == 120) {
        return "12.0";
    }
    if (best == 140) {
        return "14.0";
    }
    if (best >= 141 && best <= 150) {
        return "15.0";
    }
    return "10.0";
}

} // namespace vs
