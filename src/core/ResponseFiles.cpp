#include "core/ResponseFiles.h"

namespace core {

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

struct TExpansion {
    const TResponseFileReader& Read;
    std::vector<std::string> Out;
    std::size_t Files = 0;
};

// Appends the expansion of `words`; false when a bound was reached.
bool Expand(const std::vector<std::string>& words, int depth, TExpansion& expansion) {
    for (const std::string& word : words) {
        if (expansion.Out.size() >= MaxExpandedArguments) {
            return false;
        }
        std::optional<std::string> text;
        if (word.size() > 1 && word[0] == '@' && depth < MaxResponseFileDepth) {
            if (++expansion.Files > MaxResponseFiles) {
                return false;
            }
            text = expansion.Read(word.substr(1));
        }
        if (!text) {
            expansion.Out.push_back(word);
        } else if (!Expand(SplitResponseFileText(*text), depth + 1, expansion)) {
            return false;
        }
    }
    return true;
}

} // namespace

std::vector<std::string> SplitResponseFileText(std::string_view text) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    char quote = '\0';
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\' && i + 1 < text.size()) {
            word.push_back(text[++i]);
            inWord = true;
        } else if (quote != '\0') {
            if (c == quote) {
                quote = '\0';
            } else {
                word.push_back(c);
            }
        } else if (c == '\'' || c == '"') {
            quote = c;
            inWord = true;
        } else if (IsSpace(c)) {
            if (inWord) {
                words.push_back(std::move(word));
                word.clear();
                inWord = false;
            }
        } else {
            word.push_back(c);
            inWord = true;
        }
    }
    if (inWord) {
        words.push_back(std::move(word));
    }
    return words;
}

std::vector<std::string> ExpandResponseFiles(const std::vector<std::string>& argv,
                                             const TResponseFileReader& read) {
    if (argv.empty()) {
        return argv;
    }
    TExpansion expansion{read, {argv[0]}};
    const std::vector<std::string> rest(argv.begin() + 1, argv.end());
    if (!Expand(rest, 0, expansion)) {
        return argv; // past a bound: as written
    }
    return std::move(expansion.Out);
}

} // namespace core
