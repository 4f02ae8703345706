#include "records/BuildCacheProfile.h"

#include "core/Errors.h"
#include "platform/Paths.h"
#include "records/XmlRecordFile.h"

namespace records {

std::string DefaultBuildCacheProfilePath(std::string_view agentFolder) {
    return platform::IncludeTrailingDelimiter(agentFolder) + "resources/" +
           std::string(DefaultBuildCacheProfileFileName);
}

void CheckBuildCacheProfile(const TBuildCacheProfileDocument& profile, std::string_view fileName) {
    for (int i = 0; i < profile.Tools.Count(); ++i) {
        if (profile.Tools[i].Filename.empty()) {
            core::Raise(EXmlRecordError(std::string(fileName) + ": <Tool> number " +
                                        std::to_string(i + 1) + " has no Filename"));
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
    for (int i = 0; i < profile.Tools.Count(); ++i) {
        if (profile.Tools[i].Filename == fileName) {
            return profile.Tools[i].AllowBuildCache;
        }
    }
    for (int i = 0; i < profile.Tools.Count(); ++i) {
        if (platform::MatchesFileNamePattern(profile.Tools[i].Filename, fileName)) {
            return profile.Tools[i].AllowBuildCache;
        }
    }
    return false;
}

} // namespace records
