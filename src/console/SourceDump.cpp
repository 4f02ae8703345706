// /DUMPSOURCEFILES: the C and C++ sources of a solution's projects, written to a file.
#include "console/ExitCode.h"
#include "console/GridConsole.h"
#include "core/Errors.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "vs/ProjectParser.h"
#include "vs/ProjectParserVC6.h"
#include "vs/WorkspaceParser.h"

namespace console {

namespace {
bool IsSourceFile(std::string_view name) {
    const std::string ext = platform::ExtractFileExt(platform::ToNativeSeparators(name));
    for (const std::string_view known : {".c", ".cxx", ".cpp", ".cc"}) {
        if (core::SameText(ext, known)) {
            return true;
        }
    }
    return false;
}

// Loads one project and adds its files; then keeps only sources, absolute against
// the folder of that project.
void Collect(const std::string& projectFile, core::TStringListEx& collected) {
    std::unique_ptr<vs::TProjectParserVC> parser = vs::CreateProjectParser(projectFile);
    if (!parser) {
        core::Raise(core::EGeneralError("Unknown project type"));
    }
    // Of an older text project only the body is read: it alone lists the files.
    if (auto* legacy = dynamic_cast<vs::TProjectParserVC6*>(parser.get())) {
        legacy->LoadFromFile(projectFile, vs::TProjectParserVC6::loInterpretBody);
    } else {
        parser->LoadFromFile(projectFile);
    }
    parser->GetFiles(collected);
    const std::string folder = platform::ExtractFileDir(projectFile);
    for (int i = collected.Count() - 1; i >= 0; --i) {
        if (!IsSourceFile(collected[i])) {
            collected.Delete(i);
        } else {
            collected.Put(i, platform::ExpandPath(collected[i], folder));
        }
    }
}

std::string Indented(std::string_view text) {
    core::TStringListEx lines;
    lines.SetText(text);
    lines.AddPrefixSuffix("  ", "");
    std::string result = lines.Text();
    return result.substr(0, result.size() >= 2 ? result.size() - 2 : 0);
}
} // namespace

void TGridConsole::DumpSourceFiles() {
    const std::string primary = platform::ExpandPath(BuildCommand.PrimaryFilename, CurrentDir);
    core::TStringListEx collected(core::TStringListOptions{.CaseSensitive = true});
    if (std::unique_ptr<vs::TWorkspaceParserVC> solution = vs::CreateWorkspaceParser(primary)) {
        WriteLine("Loading workspace/solution...");
        solution->LoadFromFile(primary);
        for (int i = 0; i < solution->ProjectCount(); ++i) {
            const vs::TWorkspaceProjectVC& project = solution->Project(i);
            try {
                Collect(project.FullPath, collected);
            } catch (const std::exception& e) {
                WriteLine("Warning: Failed to load project: " + project.Name + "\r\n" +
                          Indented(e.what()));
            }
        }
    } else {
        WriteLine("Loading project...");
        if (!vs::CreateProjectParser(primary)) {
            core::Raise(core::EGeneralError("Unknown solution/project file type: " + primary));
        }
        Collect(primary, collected);
    }
    const std::string target = platform::ExpandPath(DumpFileName, CurrentDir);
    std::string error;
    std::unique_ptr<platform::TFileWriter> file =
        platform::TFileWriter::Create(target, platform::TFileWriter::TMode::Truncate, &error);
    if (!file || !file->Write(collected.Text(), &error)) {
        core::Raise(core::EOSError("Cannot create file \"" + target + "\". " + error, 0));
    }
    WriteLine(std::to_string(collected.Count()) + " source filenames written to " +
              platform::ExtractFileName(target));
    Finish(0);
}

} // namespace console
