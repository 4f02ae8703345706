#pragma once
// Build presets: named sets of configurations and projects kept beside a solution
// in an XML file (<Presets><Preset Name><Configuration Name><Project Name .../>).
#include "core/StringListEx.h"
#include "records/BuildPackets.h"

#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace console {

class TBuildPreset {
public:
    struct TProject {
        std::string Name;
        std::string RelativePath;
        std::string MSBuildName;
        bool operator<(const TProject& other) const {
            return std::tie(Name, RelativePath, MSBuildName) <
                   std::tie(other.Name, other.RelativePath, other.MSBuildName);
        }
    };

    // Reads the configurations of the preset `presetName` (names compare ignoring case).
    void Load(const std::string& fileName, std::string_view presetName);
    // Appends one entry per project of every configuration, configurations in name order.
    void AddProjects(records::TBuildCommandProjectPacketList& list) const;

    // Configuration names, sorted ignoring case; the object slot indexes `projects`.
    const core::TStringListEx& Configurations() const { return configurations; }
    const std::set<TProject>& ProjectsOf(int configuration) const;

private:
    void LoadPresets(const std::string& fileName, std::string_view presetName);

    core::TStringListEx configurations{
        core::TStringListOptions{.Sorted = true, .Duplicates = core::TDuplicates::dupError}};
    std::vector<std::set<TProject>> projects;
};

} // namespace console
