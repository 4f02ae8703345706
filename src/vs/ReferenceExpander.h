#pragma once
// Expansion of named references such as $(NAME) or %NAME% in text: each reference is
// replaced by its value and the replaced text is read again. Runs in time linear in
// the text it produces, so a value that refers to itself fails fast.
#include <functional>
#include <string>
#include <string_view>

namespace vs {

struct TReferenceSyntax {
    std::string_view Open;
    char Close;
    int MaxReplacements;
    // A reference without its end fails with this message; empty: the rest is kept as is.
    std::string_view MissingCloseMessage;
    // A value ending in "\" or "/" drops one such separator that follows the reference.
    bool JoinSeparators = false;
};

// The value of a name, or null for an unknown name (which expands to nothing).
using TReferenceLookup = std::function<const std::string*(const std::string& name)>;

// More than `MaxReplacements` replacements, or a result beyond 16 MiB, fails with
// "Failed to expand variables. ..." messages.
std::string ExpandReferences(std::string_view text, const TReferenceSyntax& syntax,
                             const TReferenceLookup& lookup);

} // namespace vs
