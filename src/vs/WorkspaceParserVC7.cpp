#include "vs/WorkspaceParserVC7.h"

#include "core/DiagnosticLog.h"
#include "core/Errors.h"
#include "core/Guid.h"
#include "core/TextHelpers.h"
#include "platform/Paths.h"
#include "vs/ProjectReferences.h"
#include "vs/VSVersion.h"

#include <limits>
#include <unordered_map>

namespace vs {

namespace {
constexpr std::string_view SolutionFolderType = "{2150E333-8FDC-42A3-9474-1A3956D46DE8}";
constexpr std::string_view SignaturePrefix =
    "Microsoft Visual Studio Solution File, Format Version ";

using core::TrimText;
constexpr auto Trim = TrimText;
constexpr auto Unquote = core::UnquoteText;

using core::IsBracedGuid;

// A comma-separated list whose items may be double-quoted ("" inside is one quote).
std::vector<std::string> SplitCommaList(std::string_view text) {
    std::vector<std::string> items;
    std::size_t i = 0;
    while (i <= text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) {
            ++i;
        }
        std::string item;
        if (i < text.size() && text[i] == '"') {
            ++i;
            while (i < text.size()) {
                if (text[i] == '"') {
                    if (i + 1 < text.size() && text[i + 1] == '"') {
                        item += '"';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                item += text[i++];
            }
            const std::size_t comma = text.find(',', i);
            i = comma == std::string_view::npos ? text.size() + 1 : comma + 1;
        } else {
            const std::size_t comma = text.find(',', i);
            const std::size_t end = comma == std::string_view::npos ? text.size() : comma;
            item = std::string(Trim(text.substr(i, end - i)));
            i = end + 1;
        }
        items.push_back(std::move(item));
    }
    return items;
}

using core::SplitLines;

bool EndsWithSeparator(std::string_view path) {
    return !path.empty() && (path.back() == '\\' || path.back() == '/');
}
} // namespace

TWorkspaceParserVC7::TWorkspaceParserVC7(bool readProjectFiles)
    : readProjectFiles(readProjectFiles), environment(EnvironmentVariables()) {}

void TWorkspaceParserVC7::LoadFromFile(const std::string& name) {
    std::string text;
    try {
        text = core::TStringListEx::ReadFileAsText(name, std::numeric_limits<std::size_t>::max(),
                                                   true);
    } catch (...) {
        core::RethrowWrapped("Failed to load solution file: " + name + " (line 0)");
    }
    LoadFromText(name, text);
}

void TWorkspaceParserVC7::LoadFromText(const std::string& name, std::string_view content) {
    if (loaded) {
        core::Raise(core::EGeneralError("Assertion failed: a solution parser loads only once"));
    }
    loaded = true;
    fileName = name;
    // Against the current folder first: a relative name has its projects beside it.
    folder = platform::ExtractFileDir(platform::ExpandPath(name, platform::GetCurrentDir()));
    try {
        fileText = std::string(content);
        lines = SplitLines(fileText);
        line = 0;
        ReadHeader();
        ReadBody();
        ResolveDependencies();
        SortProjects();
    } catch (...) {
        core::RethrowWrapped("Failed to load solution file: " + fileName + " (line " +
                             std::to_string(line) + ")");
    }
}

std::string TWorkspaceParserVC7::LinePrefix() const {
    return "Line " + std::to_string(line) + ": ";
}

// Moves to the next line; false at the end of the file.
bool TWorkspaceParserVC7::NextLine(std::string_view& text) {
    if (line + 1 >= LineCount()) {
        line = LineCount();
        return false;
    }
    ++line;
    text = Trim(lines[line]);
    return true;
}

void TWorkspaceParserVC7::ReadHeader() {
    while (line < LineCount() && Trim(lines[line]).empty()) {
        ++line;
    }
    if (line + 1 < LineCount() && !lines[line].starts_with('M') &&
        lines[line + 1].starts_with('M')) {
        ++line;
    }
    if (line >= LineCount()) {
        core::Raise(core::EGeneralError("File is empty."));
    }
    std::string_view header = Trim(lines[line]);
    if (header.starts_with("\xEF\xBB\xBF")) {
        header.remove_prefix(3);
    }
    const std::string prefix(SignaturePrefix);
    if (header == prefix + "7.00") {
        formatIndex = 3;
    } else if (header == prefix + "8.00") {
        formatIndex = 4;
    } else if (header == prefix + "9.00") {
        formatIndex = 5;
    } else if (header == prefix + "10.00") {
        formatIndex = 6;
    } else if (header == prefix + "11.00" || header.starts_with(prefix + "12.") ||
               header == prefix + "13.00") {
        const std::string_view next =
            line + 1 < LineCount() ? std::string_view(lines[line + 1]) : std::string_view();
        const std::size_t at = next.find("Visual Studio ");
        if (at != std::string_view::npos) {
            std::string_view rest = next.substr(at + 14);
            if (rest.starts_with("Express ")) {
                rest.remove_prefix(8);
            }
            if (rest.starts_with("Version ")) {
                rest.remove_prefix(8);
            }
            if (rest.starts_with('1')) {
                formatIndex = VSIndexFromVersionText(rest.substr(0, 2));
            }
        }
        if (formatIndex == 0) {
            formatIndex = VSIndexFromSignature(next);
        }
    }
    if (formatIndex == 0) {
        core::Raise(core::EGeneralError("Unknown file format signature."));
    }
}

void TWorkspaceParserVC7::ReadBody() {
    std::string_view text;
    while (NextLine(text)) {
        if (text.starts_with("Project")) {
            ReadProject(text);
        } else if (text.starts_with("Global")) {
            ReadGlobal();
        }
    }
    line = LineCount() - 1;
}

void TWorkspaceParserVC7::ReadProject(std::string_view text) {
    const std::size_t eq = text.find(" = ");
    const std::string_view left =
        eq == std::string_view::npos ? std::string_view() : Trim(text.substr(0, eq));
    if (eq == std::string_view::npos || !left.starts_with("Project(") || !left.ends_with(")") ||
        !IsBracedGuid(Unquote(left.substr(8, left.size() - 9)))) {
        core::Raise(core::EGeneralError(
            LinePrefix() + "Invalid project definition. Expected: 'Project(\"{GUID}\") = '"));
    }
    const std::string_view type = Unquote(left.substr(8, left.size() - 9));
    const std::vector<std::string> items = SplitCommaList(text.substr(eq + 3));
    if (items.size() < 3) {
        core::Raise(core::EGeneralError(LinePrefix() +
                                        "Invalid project/folder definition. Project/folder "
                                        "name, file name, or GUID are missing."));
    }
    const std::string& path = items[1];
    const std::string& guid = items[2];
    if (!IsBracedGuid(guid)) {
        core::Raise(core::EGeneralError("Invalid project GUID string: '" + guid + "'"));
    }

    TWorkspaceProjectVC* project = nullptr;
    if (core::SameText(type, SolutionFolderType)) {
        folders[guid] = items[0];
    } else {
        std::string name = items[0];
        const std::string ext =
            core::LowerCaseAscii(platform::ExtractFileExt(platform::ToNativeSeparators(path)));
        if (EndsWithSeparator(path)) {
            name = path.substr(0, path.size() - 1);
        } else if ((formatIndex == 3 || formatIndex == 4) &&
                   (ext == ".vdproj" || ext == ".vddproj")) {
            name = items[0];
        } else if (formatIndex > 8 && (ext == ".vcxitems" || ext == ".shproj")) {
            return; // shared items are not built: the following lines read as ordinary ones
        }
        project = &AddProject(std::move(name));
        project->FilePath = path;
        const std::string expanded =
            platform::ToNativeSeparators(ExpandPathVariables(path, environment));
        project->FullPath = pathResolver.Resolve(platform::ExpandPath(expanded, folder));
        project->BaseName = platform::FileNameWithoutExt(project->FullPath);
        project->GUID = guid;
        if (!guids.emplace(core::UpperCaseAscii(guid), project).second) {
            core::Raise(core::EGeneralError("GUID '" + guid + "' assigned to project '" + path +
                                            "' is already in use by a different project."));
        }
        if (readProjectFiles) {
            ReadProjectFileReferences(*project);
        }
    }
    ReadProjectSections(project);
}

void TWorkspaceParserVC7::ReadProjectSections(TWorkspaceProjectVC* project) {
    std::string_view text;
    for (;;) {
        if (!NextLine(text)) {
            core::Raise(
                core::EGeneralError("Invalid project definition. Missing 'EndProject' directive."));
        }
        if (text == "EndProject") {
            return;
        }
        if (project == nullptr || !text.starts_with("ProjectSection")) {
            continue;
        }
        if (SectionName(text, "project") != "ProjectDependencies") {
            SkipSection("EndProjectSection",
                        "Invalid global definition. Missing 'EndProjectSection' directive.");
            continue;
        }
        for (;;) {
            if (!NextLine(text)) {
                core::Raise(core::EGeneralError("Invalid project dependencies section. Missing "
                                                "'EndProjectSection' directive."));
            }
            if (text == "EndProjectSection") {
                break;
            }
            const std::size_t eq = text.find(" = ");
            if (eq != std::string_view::npos) {
                const std::string_view right = Trim(text.substr(eq + 3));
                if (IsBracedGuid(right)) {
                    project->AddDependency(std::string(right));
                }
            }
        }
    }
}

std::string TWorkspaceParserVC7::SectionName(std::string_view text, std::string_view kind) const {
    const std::size_t open = text.find('(');
    if (open == std::string_view::npos) {
        core::Raise(core::EGeneralError(LinePrefix() + "Invalid " + std::string(kind) +
                                        " section. Expected: '('"));
    }
    const std::size_t close = text.find(')', open + 1);
    if (close == std::string_view::npos) {
        core::Raise(core::EGeneralError(LinePrefix() + "Invalid " + std::string(kind) +
                                        " section. Expected: ')'"));
    }
    return std::string(text.substr(open + 1, close - open - 1));
}

void TWorkspaceParserVC7::SkipSection(std::string_view endDirective,
                                      std::string_view missingMessage) {
    std::string_view text;
    for (;;) {
        if (!NextLine(text)) {
            core::Raise(core::EGeneralError(std::string(missingMessage)));
        }
        if (text == endDirective) {
            return;
        }
    }
}

void TWorkspaceParserVC7::ReadGlobal() {
    std::string_view text;
    for (;;) {
        if (!NextLine(text)) {
            core::Raise(
                core::EGeneralError("Invalid solution file. Missing 'EndGlobal' directive."));
        }
        if (text == "EndGlobal") {
            return;
        }
        if (!text.starts_with("GlobalSection")) {
            continue;
        }
        const std::string name = SectionName(text, "global");
        if (name == "ProjectDependencies") {
            ReadGlobalDependencies();
        } else if (name == "SolutionConfiguration" || name == "SolutionConfigurationPlatforms") {
            ReadSolutionConfigurations();
        } else if (name == "ProjectConfiguration" || name == "ProjectConfigurationPlatforms") {
            ReadProjectConfigurations();
        } else if (name == "NestedProjects") {
            ReadNestedProjects();
        } else {
            SkipSection("EndGlobalSection",
                        "Invalid global definition. Missing 'EndGlobalSection' directive.");
        }
    }
}

void TWorkspaceParserVC7::ReadGlobalDependencies() {
    std::string_view text;
    for (;;) {
        if (!NextLine(text)) {
            core::Raise(core::EGeneralError("Invalid project dependencies section. Missing "
                                            "'EndGlobalSection' directive."));
        }
        if (text == "EndGlobalSection") {
            return;
        }
        const std::size_t eq = text.find(" = ");
        if (eq == std::string_view::npos) {
            continue;
        }
        const std::string_view left = Trim(text.substr(0, eq));
        const std::string_view from = left.substr(0, left.find('.'));
        const std::string_view to = Trim(text.substr(eq + 3));
        if (!IsBracedGuid(from) || !IsBracedGuid(to)) {
            continue;
        }
        TWorkspaceProjectVC* a = FindProject(from);
        TWorkspaceProjectVC* b = FindProject(to);
        if (a == nullptr) {
            WarnProjectNotFound(from);
        }
        if (b == nullptr) {
            WarnProjectNotFound(to);
        }
        if (a != nullptr && b != nullptr) {
            a->AddDependency(std::string(to), b->Name);
        }
    }
}

void TWorkspaceParserVC7::ReadSolutionConfigurations() {
    std::string_view text;
    for (;;) {
        if (!NextLine(text)) {
            core::Raise(core::EGeneralError("Invalid solution configuration section. Missing "
                                            "'EndGlobalSection' directive."));
        }
        if (text == "EndGlobalSection") {
            return;
        }
        const std::size_t eq = text.find('=');
        if (eq == std::string_view::npos) {
            continue;
        }
        const std::string value(Trim(text.substr(eq + 1)));
        if (formatIndex != 3) {
            if (text.find(" = ") != std::string_view::npos) {
                configurations.push_back(value);
            }
            continue;
        }
        constexpr std::string_view prefix = "ConfigName.";
        if (!text.starts_with(prefix)) {
            continue;
        }
        int position = 0;
        const std::string_view number = Trim(text.substr(prefix.size(), eq - prefix.size()));
        if (!core::TryParseInt32(number, position) || position < 0 || position >= LineCount()) {
            continue; // no real solution has more configurations than lines
        }
        if (configurations.size() <= static_cast<std::size_t>(position)) {
            configurations.resize(static_cast<std::size_t>(position) + 1);
        }
        configurations[static_cast<std::size_t>(position)] = value;
    }
}

void TWorkspaceParserVC7::ReadProjectConfigurations() {
    std::unordered_map<std::string_view, std::string_view> mapping; // keys compare with case
    std::string_view text;
    for (;;) {
        if (!NextLine(text)) {
            core::Raise(core::EGeneralError("Invalid project configuration section. Missing "
                                            "'EndGlobalSection' directive."));
        }
        if (text == "EndGlobalSection") {
            break;
        }
        const std::size_t eq = text.find('=');
        if (eq != std::string_view::npos) {
            mapping.emplace(Trim(text.substr(0, eq)), Trim(text.substr(eq + 1)));
        }
    }
    const auto store = [&](TConfigMap& target, const std::string& configuration,
                           const std::string& key) {
        const auto it = mapping.find(key);
        if (it == mapping.end() || it->second.empty()) {
            return;
        }
        target[configuration] = XenonPlatformName(std::string(it->second), formatIndex);
    };
    for (const auto& project : projects) {
        for (const std::string& configuration : configurations) {
            const std::string key = project->GUID + "." + configuration;
            store(project->ActiveConfigs, configuration, key + ".ActiveCfg");
            store(project->BuildConfigs, configuration, key + ".Build.0");
        }
    }
}

void TWorkspaceParserVC7::ReadNestedProjects() {
    std::string_view text;
    for (;;) {
        if (!NextLine(text)) {
            core::Raise(core::EGeneralError(
                "Invalid solution file. Missing 'EndGlobalSection' directive."));
        }
        if (text == "EndGlobalSection") {
            return;
        }
        const std::size_t eq = text.find('=');
        if (eq == std::string_view::npos) {
            continue;
        }
        const std::string_view child = Trim(text.substr(0, eq));
        const std::string_view parent = Trim(text.substr(eq + 1));
        if (IsBracedGuid(child) && IsBracedGuid(parent)) {
            nested[std::string(child)] = std::string(parent);
        }
    }
}

void TWorkspaceParserVC7::ReadProjectFileReferences(TWorkspaceProjectVC& project) {
    if (!platform::FileExists(project.FullPath)) {
        return;
    }
    for (TProjectFileReference& reference : ReadProjectReferences(project.FullPath, formatIndex)) {
        project.AddDependency(std::move(reference.GUID));
        if (reference.CSharp) {
            project.References.push_back(std::move(*reference.CSharp));
        }
    }
}

TWorkspaceProjectVC* TWorkspaceParserVC7::FindProject(std::string_view guid) const {
    const auto it = guids.find(core::UpperCaseAscii(guid));
    return it == guids.end() ? nullptr : it->second;
}

void TWorkspaceParserVC7::WarnProjectNotFound(std::string_view guid) const {
    core::Log().Warning("Workspace: " + fileName + "\r\n" + LinePrefix() +
                        "Project not found: " + std::string(guid));
}

void TWorkspaceParserVC7::ResolveDependencies() {
    for (const auto& project : projects) {
        for (std::size_t i = project->Dependencies.size(); i-- > 0;) {
            TWorkspaceDependency& dependency = project->Dependencies[i];
            const TWorkspaceProjectVC* target = FindProject(dependency.GUID);
            if (target == nullptr) {
                WarnProjectNotFound(dependency.GUID);
                project->RemoveDependency(i);
            } else if (target != project.get()) {
                dependency.Name = target->Name;
                dependency.Path = target->FullPath;
            }
        }
    }
}

TConfigTranslation TWorkspaceParserVC7::TranslateConfiguration(const TWorkspaceProjectVC& project,
                                                               std::string_view requested) const {
    if (configurations.empty()) {
        return {std::string(requested), true};
    }
    const auto has = [&](std::string_view name) {
        for (const std::string& configuration : configurations) {
            if (core::SameText(configuration, name)) {
                return true;
            }
        }
        return false;
    };
    std::string name(requested);
    if (!has(name)) {
        const std::string beforeBar = name.substr(0, name.find('|'));
        if (!has(beforeBar)) {
            std::string message = "Solution configuration not found: " + name +
                                  "\r\n\r\nAvailable solution configurations:";
            for (const std::string& configuration : configurations) {
                message += "\r\n    " + configuration;
            }
            try {
                core::Raise(core::EGeneralError(message));
            } catch (...) {
                core::RethrowWrapped("Failed to translate solution configuration.");
            }
        }
        name = beforeBar;
    }
    if (const auto built = project.BuildConfigs.find(name); built != project.BuildConfigs.end()) {
        return {built->second, true};
    }
    const auto active = project.ActiveConfigs.find(name);
    return {active == project.ActiveConfigs.end() ? std::string() : active->second, false};
}

} // namespace vs
