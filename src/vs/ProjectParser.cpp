#include "vs/ProjectParser.h"

#include "core/TextHelpers.h"
#include "platform/Paths.h"
#include "vs/ProjectParserVC6.h"
#include "vs/ProjectParserVC7.h"

namespace vs {

TCopyLocal ParseCopyLocal(std::string_view text) {
    if (core::SameText(text, "True")) {
        return TCopyLocal::Yes;
    }
    if (core::SameText(text, "False")) {
        return TCopyLocal::No;
    }
    return TCopyLocal::Unset;
}

TAssemblyVersion ParseAssemblyVersion(std::string_view assemblyName) {
    TAssemblyVersion version;
    while (!assemblyName.empty()) {
        const std::size_t comma = assemblyName.find(',');
        const std::string_view entry = core::TrimText(assemblyName.substr(0, comma));
        assemblyName =
            comma == std::string_view::npos ? std::string_view() : assemblyName.substr(comma + 1);
        const std::size_t eq = entry.find('=');
        if (eq == std::string_view::npos ||
            !core::SameText(core::TrimText(entry.substr(0, eq)), "Version")) {
            continue;
        }
        std::string_view value = core::TrimText(entry.substr(eq + 1));
        int parts[4];
        int count = 0;
        for (;;) {
            const std::size_t dot = value.find('.');
            if (count == 4 || !core::TryParseInt32(value.substr(0, dot), parts[count])) {
                return version;
            }
            ++count;
            if (dot == std::string_view::npos) {
                break;
            }
            value = value.substr(dot + 1);
        }
        if (count == 4) {
            version.Set = true;
            std::copy(parts, parts + 4, version.Parts);
        }
        return version;
    }
    return version;
}

void TProjectParserVC::Clear() {
    ProjectName.clear();
    Configurations.Clear();
    ConfigurationTargetTypes.clear();
    ConfigurationTargetIndexes.clear();
    VersionText.clear();
    ProjectReferences.clear();
    AssemblyReferences.clear();
}

bool TProjectParserVC::CanLoad(std::string_view) const {
    return true;
}

void TProjectParserVC::GetFiles(core::TStringListEx&) const {}

void TProjectParserVC::AddConfiguration(const std::string& name, std::string targetType,
                                        std::uint8_t targetIndex) {
    if (Configurations.IndexOf(name) < 0) {
        Configurations.Add(name);
        ConfigurationTargetTypes.push_back(std::move(targetType));
        ConfigurationTargetIndexes.push_back(targetIndex);
    }
}

std::unique_ptr<TProjectParserVC> CreateProjectParser(std::string_view fileName) {
    const std::string ext = platform::ExtractFileExt(fileName);
    if (core::SameText(ext, ".vcproj") || core::SameText(ext, ".icproj")) {
        return std::make_unique<TProjectParserVC7>(0);
    }
    if (core::SameText(ext, ".dsp")) {
        return std::make_unique<TProjectParserVC6>();
    }
    if (core::SameText(ext, ".vcp")) {
        return std::make_unique<TProjectParserEVC4>();
    }
    return nullptr;
}

} // namespace vs
