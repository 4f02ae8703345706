#include "console/BuildPreset.h"

#include "core/Errors.h"
#include "platform/Paths.h"
#include "vs/XmlUtils.h"

namespace console {

namespace {
template <typename F> void ForEachChild(pugi::xml_node node, std::string_view name, F f) {
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
        if (child.type() == pugi::node_element && core::SameText(child.name(), name)) {
            f(child);
        }
    }
}
} // namespace

void TBuildPreset::Load(const std::string& fileName, std::string_view presetName) {
    try {
        LoadPresets(fileName, presetName);
    } catch (...) {
        core::RethrowWrapped("Failed to load build preset from file: " + fileName);
    }
}

void TBuildPreset::LoadPresets(const std::string& fileName, std::string_view presetName) {
    configurations.Clear();
    projects.clear();
    if (!platform::FileExists(fileName)) {
        core::Raise(core::EGeneralError("Preset file not found: " + fileName));
    }
    pugi::xml_document document;
    std::string reason;
    // A file that does not parse reads as an empty document.
    if (!vs::LoadXmlFile(document, fileName, reason)) {
        document.reset();
    }
    const pugi::xml_node presets = vs::RequiredChild(document, "Presets");
    std::vector<std::string> allNames;
    bool found = false;
    ForEachChild(presets, "Preset", [&](pugi::xml_node preset) {
        const std::string name = vs::RequiredAttribute(preset, "Name");
        allNames.push_back(name);
        if (!core::SameText(name, presetName)) {
            return;
        }
        found = true;
        ForEachChild(preset, "Configuration", [&](pugi::xml_node configuration) {
            const int index = configurations.Add(vs::RequiredAttribute(configuration, "Name"));
            projects.insert(projects.begin() + index, std::set<TProject>());
            ForEachChild(configuration, "Project", [&](pugi::xml_node project) {
                TProject entry;
                entry.MSBuildName = vs::OptionalAttribute(project, "MSBuildName");
                // Written by Windows tools: converted like every other project path.
                entry.RelativePath =
                    platform::ToNativeSeparators(vs::OptionalAttribute(project, "RelativePath"));
                entry.Name = vs::RequiredAttribute(project, "Name");
                projects[static_cast<std::size_t>(index)].insert(std::move(entry));
            });
        });
    });
    if (!found) {
        std::string message = "Preset not found: " + std::string(presetName) + "\r\n\r\n";
        if (allNames.empty()) {
            message += "No presets are available.";
        } else {
            message += "Available preset(s): ";
            for (std::size_t i = 0; i < allNames.size(); ++i) {
                message += (i > 0 ? ", " : "") + allNames[i];
            }
        }
        core::Raise(core::EGeneralError(message));
    }
}

const std::set<TBuildPreset::TProject>& TBuildPreset::ProjectsOf(int configuration) const {
    return projects.at(static_cast<std::size_t>(configuration));
}

void TBuildPreset::AddProjects(records::TBuildCommandProjectPacketList& list) const {
    for (int i = 0; i < configurations.Count(); ++i) {
        for (const TProject& project : ProjectsOf(i)) {
            list.Add(std::make_unique<records::TBuildCommandProjectPacket>(
                project.Name, configurations[i], project.RelativePath, project.MSBuildName));
        }
    }
}

} // namespace console
