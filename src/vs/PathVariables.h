#pragma once
// $(NAME) and %NAME% references in paths written in solution files.
#include "vs/WorkspaceParser.h"

#include <string>
#include <string_view>

namespace vs {

// Variables by name, ignoring case.
using TVariableMap = std::map<std::string, std::string, TCaseInsensitiveLess>;

// The process environment as a variable map.
TVariableMap EnvironmentVariables();

// Replaces $(NAME) references, then %NAME% references, by their values (unknown
// names by nothing). Replaced text is expanded again; a reference without its end
// stops the expansion.
std::string ExpandPathVariables(std::string_view path, const TVariableMap& variables);

} // namespace vs
