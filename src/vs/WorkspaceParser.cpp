#include "vs/WorkspaceParser.h"

#include "core/Errors.h"
#include "core/StringListEx.h"
#include "core/TextHelpers.h"
#include "platform/Paths.h"
#include "vs/WorkspaceParserVC6.h"
#include "vs/WorkspaceParserVC7.h"

#include <algorithm>

namespace vs {

bool TCaseInsensitiveLess::operator()(std::string_view a, std::string_view b) const {
    return core::CompareText(a, b) < 0;
}

void TWorkspaceProjectVC::AddDependency(std::string guid, std::string name, std::string path) {
    if (!dependencyGuids.insert(core::UpperCaseAscii(guid)).second) {
        return;
    }
    Dependencies.push_back({std::move(name), std::move(path), std::move(guid)});
}

void TWorkspaceProjectVC::AddDependencyByName(std::string name) {
    Dependencies.push_back({std::move(name), {}, {}});
}

void TWorkspaceProjectVC::RemoveDependency(std::size_t index) {
    dependencyGuids.erase(core::UpperCaseAscii(Dependencies[index].GUID));
    Dependencies.erase(Dependencies.begin() + static_cast<std::ptrdiff_t>(index));
}

TConfigTranslation
TWorkspaceParserVC::TranslateConfiguration(const TWorkspaceProjectVC&,
                                           std::string_view configuration) const {
    return {std::string(configuration), true};
}

void TWorkspaceParserVC::LoadFromFile(const std::string&) {
    core::Raise(core::EGeneralError("Cannot load workspace from file. Abstract function call."));
}

TWorkspaceProjectVC& TWorkspaceParserVC::Project(int index) const {
    if (index < 0 || index >= ProjectCount()) {
        core::Raise(core::ERangeError("List index out of bounds (" + std::to_string(index) + ")"));
    }
    return *projects[static_cast<std::size_t>(index)];
}

TWorkspaceProjectVC& TWorkspaceParserVC::AddProject(std::string name) {
    projects.push_back(std::make_unique<TWorkspaceProjectVC>());
    projects.back()->Name = std::move(name);
    return *projects.back();
}

void TWorkspaceParserVC::SortProjects() {
    // A sorted list that accepts duplicates inserts a new name before its equals:
    // among equal names the later definition comes first.
    std::reverse(projects.begin(), projects.end());
    std::stable_sort(projects.begin(), projects.end(), [](const auto& a, const auto& b) {
        return core::CompareText(a->Name, b->Name) < 0;
    });
}

std::unique_ptr<TWorkspaceParserVC> CreateWorkspaceParser(std::string_view fileName) {
    const std::string ext = core::LowerCaseAscii(platform::ExtractFileExt(fileName));
    if (ext == ".sln") {
        return std::make_unique<TWorkspaceParserVC7>(true);
    }
    if (ext == ".dsw" || ext == ".vcw") {
        return std::make_unique<TWorkspaceParserVC6>();
    }
    return nullptr;
}

} // namespace vs
