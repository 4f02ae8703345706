// Which projects and configurations a Visual Studio build asks for.
#include "console/BuildPreset.h"
#include "console/GridConsole.h"
#include "core/Errors.h"
#include "core/TextHelpers.h"
#include "platform/Paths.h"
#include "vs/WorkspaceParser.h"

namespace console {

namespace {
// Pieces of a "," list; empty pieces are dropped, blanks are kept.
std::vector<std::string> SplitCommas(std::string_view text) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find(',', start), text.size());
        if (end > start) {
            pieces.emplace_back(text.substr(start, end - start));
        }
        start = end + 1;
    }
    return pieces;
}

} // namespace

void TGridConsole::BuildProjectList() {
    records::TBuildCommandProjectPacketList& list = BuildCommand.ActiveProjects;
    const std::string primary = platform::ToNativeSeparators(BuildCommand.PrimaryFilename);
    if (!Preset.empty()) {
        TBuildPreset preset;
        preset.Load(platform::ChangeFileExt(primary, ".mv_preset"), Preset);
        preset.AddProjects(list);
    } else if (DefaultProject && platform::ExtractFileExt(primary) == ".sln") {
        if (SplitCommas(Configurations).size() > 1) {
            core::Raise(core::EGeneralError(
                "Only one Solution Configuration may be specified. To specify several project "
                "configurations, add the \"/prj\" option to your Ravelcon command line."));
        }
        const std::unique_ptr<vs::TWorkspaceParserVC> solution = vs::CreateWorkspaceParser(primary);
        solution->LoadFromFile(primary);
        for (int i = 0; i < solution->ProjectCount(); ++i) {
            const vs::TWorkspaceProjectVC& project = solution->Project(i);
            if (solution->TranslateConfiguration(project, Configurations).Built) {
                list.Add(std::make_unique<records::TBuildCommandProjectPacket>(
                    project.Name, Configurations, project.FullPath));
            }
        }
    } else {
        std::vector<std::string> configurations;
        if (!ProjectConfiguration.empty()) {
            BuildCommand.SetFlag(records::TBuildFlag::ProjectConfig);
            configurations.push_back(ProjectConfiguration);
        } else {
            configurations = SplitCommas(Configurations);
        }
        if (configurations.empty()) {
            configurations.emplace_back();
        }
        const std::vector<std::string> projects = SplitCommas(Projects);
        for (const std::string& configuration : configurations) {
            for (const std::string& project : projects) {
                list.Add(
                    std::make_unique<records::TBuildCommandProjectPacket>(project, configuration));
            }
        }
    }
    for (const std::string& target : MakeTargets.Strings()) {
        const std::string tabbed =
            core::ReplaceText(core::ReplaceText(target, " - ", "\t"), "|", "\t");
        const std::size_t tab = tabbed.find('\t');
        list.Add(std::make_unique<records::TBuildCommandProjectPacket>(
            tabbed.substr(0, tab),
            tab == std::string::npos ? std::string() : tabbed.substr(tab + 1)));
    }
}

} // namespace console
