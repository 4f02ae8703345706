#include "vs/PathVariables.h"

#include "core/Errors.h"
#include "platform/Environment.h"

namespace vs {

namespace {
// Enough for any real nesting; a self-referencing variable must fail, not hang.
constexpr int MaxReplacements = 32767;

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

void ExpandKind(std::string& text, std::string_view open, std::string_view close,
                const TVariableMap& variables, int& replacements) {
    std::size_t pos = 0;
    for (;;) {
        const std::size_t start = text.find(open, pos);
        if (start == std::string::npos) {
            return;
        }
        const std::size_t nameStart = start + open.size();
        const std::size_t end = text.find(close, nameStart);
        if (end == std::string::npos) {
            return;
        }
        const std::string name = text.substr(nameStart, end - nameStart);
        const auto it = variables.find(name);
        const std::string value = it == variables.end() ? std::string() : it->second;
        std::size_t after = end + close.size();
        if (!value.empty() && IsSeparator(value.back()) && after < text.size() &&
            IsSeparator(text[after])) {
            ++after; // one separator is enough
        }
        if (++replacements > MaxReplacements) {
            throw core::EGeneralError("Failed to expand variables. Endless recursion detected.");
        }
        text.replace(start, after - start, value);
        pos = start; // the value itself may hold references
    }
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
    std::string text(path);
    int replacements = 0;
    ExpandKind(text, "$(", ")", variables, replacements);
    ExpandKind(text, "%", "%", variables, replacements);
    return text;
}

} // namespace vs
