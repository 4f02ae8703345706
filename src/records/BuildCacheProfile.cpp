#include "records/BuildCacheProfile.h"

#include "core/Errors.h"
#include "platform/Paths.h"
#include "records/ToolRuleLookup.h"
#include "records/XmlRecordFile.h"

namespace records {

namespace {

// Names separated by ";" or ",", blanks around them ignored.
std::vector<std::string> SplitNames(std::string_view text) {
    std::vector<std::string> names;
    std::string name;
    const auto flush = [&] {
        if (!name.empty()) {
            names.push_back(name);
            name.clear();
        }
    };
    for (const char c : text) {
        if (c == ';' || c == ',') {
            flush();
        } else if (c != ' ' && c != '\t') {
            name.push_back(c);
        }
    }
    flush();
    return names;
}

bool VariableName(std::string_view name) {
    if (name.empty() || (name[0] >= '0' && name[0] <= '9')) {
        return false;
    }
    for (const char c : name) {
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '_')) {
            return false;
        }
    }
    return true;
}

} // namespace

std::string DefaultBuildCacheProfilePath(std::string_view agentFolder) {
    return platform::IncludeTrailingDelimiter(agentFolder) + "resources/" +
           std::string(DefaultBuildCacheProfileFileName);
}

void CheckBuildCacheProfile(const TBuildCacheProfileDocument& profile, std::string_view fileName) {
    for (int i = 0; i < profile.Tools.Count(); ++i) {
        const std::string tool = std::string(fileName) + ": <Tool> number " + std::to_string(i + 1);
        if (profile.Tools[i].Filename.empty()) {
            core::Raise(EXmlRecordError(tool + " has no Filename"));
        }
        for (const std::string& name : SplitNames(profile.Tools[i].KeyVariables)) {
            if (!VariableName(name)) {
                core::Raise(EXmlRecordError(tool + ": KeyVariables names \"" + name +
                                            "\", which is no environment variable name"));
            }
        }
    }
}

void LoadBuildCacheProfile(const std::string& defaultFile, const std::string& profileFile,
                           TBuildCacheProfileDocument& profile) {
    const std::string& file = profileFile.empty() ? defaultFile : profileFile;
    LoadXmlRecordFile(file, profile);
    CheckBuildCacheProfile(profile, file);
}

bool AllowsBuildCache(const TBuildCacheProfileDocument& profile, std::string_view fileName) {
    const TBuildCacheTool* rule = FindRuleByFileName(profile.Tools, fileName);
    return rule && rule->AllowBuildCache;
}

std::vector<std::string> BuildCacheKeyVariables(const TBuildCacheProfileDocument& profile,
                                                std::string_view fileName) {
    const TBuildCacheTool* rule = FindRuleByFileName(profile.Tools, fileName);
    return rule && rule->AllowBuildCache ? SplitNames(rule->KeyVariables)
                                         : std::vector<std::string>();
}

} // namespace records
