#include "core/Diagnostics.h"

#include <cctype>

namespace core {

namespace {

bool IsLetter(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) != 0;
}

bool IsDigit(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

// "<something>: error:" or "<something>: fatal error:" with the word at `at`.
bool IsGccStyle(std::string_view line, std::size_t at, std::size_t wordLength) {
    std::string_view before = line.substr(0, at);
    if (before.ends_with("fatal ")) {
        before.remove_suffix(6);
    }
    if (!before.ends_with(": ") || before.size() < 3) {
        return false;
    }
    const std::string_view after = line.substr(at + wordLength);
    return after.starts_with(':');
}

// " error C2065:" - the word after a blank (or at the start), a code of letters and
// digits, then a colon.
bool IsMsvcStyle(std::string_view line, std::size_t at, std::size_t wordLength) {
    if (at > 0 && line[at - 1] != ' ') {
        return false;
    }
    std::string_view code = line.substr(at + wordLength);
    if (!code.starts_with(' ')) {
        return false;
    }
    code.remove_prefix(1);
    std::size_t letters = 0;
    while (letters < code.size() && IsLetter(code[letters])) {
        ++letters;
    }
    std::size_t digits = 0;
    while (letters + digits < code.size() && IsDigit(code[letters + digits])) {
        ++digits;
    }
    return letters >= 1 && letters <= 4 && digits >= 3 && digits <= 5 &&
           letters + digits < code.size() && code[letters + digits] == ':';
}

} // namespace

TDiagnostic ClassifyLine(std::string_view line) {
    struct TWord {
        std::string_view Text;
        TDiagnostic Kind;
    };
    static constexpr TWord words[] = {{"error", TDiagnostic::Error},
                                      {"warning", TDiagnostic::Warning}};
    for (std::size_t at = 0; at < line.size(); ++at) {
        for (const TWord& word : words) {
            if (line.compare(at, word.Text.size(), word.Text) == 0 &&
                (IsGccStyle(line, at, word.Text.size()) ||
                 IsMsvcStyle(line, at, word.Text.size()))) {
                return word.Kind;
            }
        }
    }
    if (line.find("undefined reference to") != std::string_view::npos) {
        return TDiagnostic::Error;
    }
    return TDiagnostic::None;
}

} // namespace core
