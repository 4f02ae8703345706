#include "vs/WorkspaceParserVC6.h"

#include "core/Errors.h"
#include "core/StringListEx.h"
#include "core/TextHelpers.h"
#include "platform/Paths.h"

#include <limits>

namespace vs {

namespace {
constexpr std::string_view NullGuid = "{00000000-0000-0000-0000-000000000000}";

// The next field of the text: a quoted part, or the text up to white space.
std::string_view NextField(std::string_view& text) {
    text = core::TrimText(text);
    std::string_view field;
    if (text.starts_with('"')) {
        const std::size_t close = text.find('"', 1);
        field =
            text.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1);
        text = close == std::string_view::npos ? std::string_view() : text.substr(close + 1);
    } else {
        const std::size_t end = text.find_first_of(" \t");
        field = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end);
    }
    return field;
}
} // namespace

void TWorkspaceParserVC6::LoadFromFile(const std::string& fileName) {
    std::string text;
    try {
        text = core::TStringListEx::ReadFileAsText(fileName,
                                                   std::numeric_limits<std::size_t>::max(), true);
    } catch (...) {
        core::RethrowWrapped("Failed to load workspace file: " + fileName + " (line 0)");
    }
    LoadFromText(fileName, text);
}

void TWorkspaceParserVC6::LoadFromText(const std::string& fileName, std::string_view text) {
    // Against the current folder first: a relative name has its projects beside it.
    const std::string folder =
        platform::ExtractFileDir(platform::ExpandPath(fileName, platform::GetCurrentDir()));
    platform::TPathCaseResolver resolver;
    core::TStringListEx lines;
    lines.SetText(text);
    TWorkspaceProjectVC* current = nullptr;
    bool inDependencies = false;
    int index = 0;
    try {
        for (; index < lines.Count(); ++index) {
            const std::string_view line = core::TrimText(lines[index]);
            if (line.starts_with("Global:")) {
                current = nullptr;
            } else if (line.starts_with("Project: ")) {
                std::string_view rest = line.substr(9);
                std::string name;
                if (core::TrimText(rest).starts_with('"')) {
                    name = std::string(NextField(rest));
                } else {
                    const std::size_t eq = rest.find('=');
                    name = std::string(core::TrimText(rest.substr(0, eq)));
                    rest = eq == std::string_view::npos ? std::string_view() : rest.substr(eq);
                }
                rest = core::TrimText(rest);
                if (!rest.starts_with('=')) {
                    core::Raise(core::EGeneralError("Invalid project definition. Expected: '='"));
                }
                rest.remove_prefix(1);
                const std::string_view path = NextField(rest);
                current = nullptr;
                if (path.empty()) {
                    continue;
                }
                current = &AddProject(name);
                current->FilePath = std::string(path);
                current->FullPath = resolver.Resolve(
                    platform::ExpandPath(platform::ToNativeSeparators(path), folder));
                current->BaseName = platform::FileNameWithoutExt(current->FullPath);
                current->GUID = std::string(NullGuid);
            } else if (line == "Begin Project Dependency") {
                inDependencies = true;
            } else if (line == "End Project Dependency") {
                inDependencies = false;
            } else if (inDependencies && current != nullptr &&
                       line.starts_with("Project_Dep_Name ")) {
                current->AddDependencyByName(std::string(core::TrimText(line.substr(17))));
            }
        }
        SortProjects();
    } catch (...) {
        core::RethrowWrapped("Failed to load workspace file: " + fileName + " (line " +
                             std::to_string(index) + ")");
    }
}

} // namespace vs
