#include "console/SummaryText.h"

#include <vector>

namespace console {

std::string SummaryText(int buildSystemErrors, int buildSystemWarnings, int errors, int warnings,
                        bool systemOnly) {
    std::vector<std::string> parts;
    if (buildSystemErrors > 0) {
        parts.push_back(std::to_string(buildSystemErrors) + " build system error(s)");
    }
    if (buildSystemWarnings > 0) {
        parts.push_back(std::to_string(buildSystemWarnings) + " build system warning(s)");
    }
    if (!systemOnly) {
        parts.push_back(std::to_string(errors) + " error(s)");
        parts.push_back(std::to_string(warnings) + " warning(s)");
    }
    std::string text;
    for (const std::string& part : parts) {
        if (!text.empty()) {
            text += ", ";
        }
        text += part;
    }
    return text;
}

} // namespace console
