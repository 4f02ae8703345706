// Feeds arbitrary bytes as an XML project file to every reader of one: the .vcproj
// and .icproj parser with its file list (an Intel project may name the file itself as
// its nested project), the MSBuild toolset reader (.vcxproj) and the project
// reference reader (.csproj).
#include "core/Errors.h"
#include "platform/Process.h"
#include "platform/Random.h"
#include "vs/ProjectParserVC7.h"
#include "vs/ProjectReferences.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

// A fresh private folder for one input, removed with it.
class TFolder {
public:
    TFolder() {
        std::uint64_t tag = 0;
        if (!platform::RandomBytes(&tag, sizeof tag)) {
            std::abort();
        }
        path = platform::TempFolder() + "fuzz_xml_project_" + std::to_string(tag);
        if (!std::filesystem::create_directory(path)) {
            std::abort();
        }
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    }
    ~TFolder() { std::filesystem::remove_all(path); }
    TFolder(const TFolder&) = delete;
    TFolder& operator=(const TFolder&) = delete;

    std::string Write(const char* name, const std::uint8_t* data, std::size_t size) const {
        const std::filesystem::path file = path / name;
        std::ofstream(file, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        return file.string();
    }

private:
    std::filesystem::path path;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const TFolder folder;
    const std::string project = folder.Write("p.vcproj", data, size);
    try {
        vs::TProjectParserVC7 parser(0);
        parser.LoadFromFile(project);
        core::TStringListEx files;
        parser.GetFiles(files);
    } catch (const core::Exception&) {
    }
    try {
        (void)vs::MSBuildToolsetVersion(project);
    } catch (const core::Exception&) {
    }
    try {
        (void)vs::ReadProjectReferences(folder.Write("p.csproj", data, size), 13);
    } catch (const core::Exception&) {
    }
    return 0;
}
