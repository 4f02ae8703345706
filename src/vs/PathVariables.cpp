#include "vs/PathVariables.h"

#include "core/Errors.h"
#include "platform/Environment.h"
#include "vs/ReferenceExpander.h"

namespace vs {

namespace {
// Enough for any real nesting; a self-referencing variable must fail, not hang.
constexpr int MaxReplacements = 32767;

std::string ExpandKind(std::string_view text, std::string_view open, char close,
                       const TVariableMap& variables, int& replacements) {
    const TReferenceSyntax syntax{.Open = open,
                                  .Close = close,
                                  .MaxReplacements = MaxReplacements - replacements,
                                  .MissingCloseMessage = {},
                                  .JoinSeparators = true};
    return ExpandReferences(text, syntax, [&](const std::string& name) -> const std::string* {
        ++replacements;
        const auto it = variables.find(name);
        return it == variables.end() ? nullptr : &it->second;
    });
}
} // namespace

TVariableMap EnvironmentVariables() {
    TVariableMap variables;
    for (const std::string& entry : platform::GetEnvStrings()) {
        const std::size_t eq = entry.find('=', 1);
        if (eq != std::string::npos) {
            variables.emplace(entry.substr(0, eq), entry.substr(eq + 1));
        }
    }
    return variables;
}

std::string ExpandPathVariables(std::string_view path, const TVariableMap& variables) {
    int replacements = 0;
    const std::string text = ExpandKind(path, "$(", ')', variables, replacements);
    return ExpandKind(text, "%", '%', variables, replacements);
}

} // namespace vs
