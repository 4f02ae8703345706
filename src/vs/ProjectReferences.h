#pragma once
// Project references read from the project files of a solution.
#include "vs/WorkspaceParser.h"

#include <optional>
#include <string>
#include <vector>

namespace vs {

struct TProjectFileReference {
    std::string GUID;                              // the referenced project
    std::optional<TCSharpProjectReference> CSharp; // for managed references with a name
};

// The project references of a .csproj file (both of its forms); other files give none.
std::vector<TProjectFileReference> ReadProjectReferences(const std::string& projectFile,
                                                         int solutionFormatIndex);

} // namespace vs
