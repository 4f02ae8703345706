#pragma once
// The build cache profile a build uses: which tools' results may be cached. The
// default profile of the install serves unless /BuildCacheProfile names another.
#include <string>
#include <string_view>
#include <vector>

#include "records/ProfilePackets.h"

namespace records {

inline constexpr std::string_view DefaultBuildCacheProfileFileName = "DefaultBuildCacheProfile.xml";

// <folder>/resources/DefaultBuildCacheProfile.xml.
std::string DefaultBuildCacheProfilePath(std::string_view agentFolder);

// Raises EXmlRecordError naming `fileName` for a tool without a Filename or with a
// KeyVariables entry that is no variable name.
void CheckBuildCacheProfile(const TBuildCacheProfileDocument& profile, std::string_view fileName);

// Loads `profileFile`, or the default profile when it is empty. Raises EXmlRecordError
// naming the file for a file that cannot be read, is malformed or breaks the checks above.
void LoadBuildCacheProfile(const std::string& defaultFile, const std::string& profileFile,
                           TBuildCacheProfileDocument& profile);

// Whether a tool called by the file name `fileName` may have its results cached: the
// rule naming it exactly, else the first whose Filename pattern matches it, decides.
bool AllowsBuildCache(const TBuildCacheProfileDocument& profile, std::string_view fileName);

// The environment variables that the same rule puts into the key of the tool's results.
std::vector<std::string> BuildCacheKeyVariables(const TBuildCacheProfileDocument& profile,
                                                std::string_view fileName);

} // namespace records
