#include "vs/ReferenceExpander.h"

#include "core/Errors.h"

namespace vs {

namespace {
// Far beyond any real path or project line; a self-referencing value reaches it fast.
constexpr std::size_t MaxExpandedLength = 16u << 20;

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}
} // namespace

std::string ExpandReferences(std::string_view text, const TReferenceSyntax& syntax,
                             const TReferenceLookup& lookup) {
    std::string done;
    // The text still to read, reversed: a value is put in front of it by appending.
    std::string pending(text.rbegin(), text.rend());
    int replacements = 0;
    while (!pending.empty()) {
        done += pending.back();
        pending.pop_back();
        if (!done.ends_with(syntax.Open)) {
            continue;
        }
        const std::size_t close = pending.rfind(syntax.Close);
        if (close == std::string::npos) {
            if (!syntax.MissingCloseMessage.empty()) {
                core::Raise(core::EGeneralError(std::string(syntax.MissingCloseMessage)));
            }
            break;
        }
        const std::string name(pending.rbegin(),
                               pending.rbegin() +
                                   static_cast<std::ptrdiff_t>(pending.size() - close - 1));
        pending.resize(close);
        done.resize(done.size() - syntax.Open.size());
        if (++replacements > syntax.MaxReplacements) {
            core::Raise(
                core::EGeneralError("Failed to expand variables. Endless recursion detected."));
        }
        const std::string* value = lookup(name);
        if (value == nullptr) {
            continue;
        }
        if (syntax.JoinSeparators && !value->empty() && IsSeparator(value->back()) &&
            !pending.empty() && IsSeparator(pending.back())) {
            pending.pop_back();
        }
        if (done.size() + pending.size() + value->size() > MaxExpandedLength) {
            core::Raise(core::EGeneralError("Failed to expand variables. The result exceeds " +
                                            std::to_string(MaxExpandedLength) + " bytes."));
        }
        pending.append(value->rbegin(), value->rend());
    }
    done.append(pending.rbegin(), pending.rend());
    return done;
}

} // namespace vs
