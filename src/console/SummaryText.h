#pragma once
#include <string>

namespace console {

// "n build system error(s), n build system warning(s), n error(s), n warning(s)";
// the build-system parts only when nonzero, the others unless `systemOnly`.
std::string SummaryText(int buildSystemErrors, int buildSystemWarnings, int errors, int warnings,
                        bool systemOnly);

} // namespace console
