#include "console/CmdLineParser.h"
#include "core/OptionFile.h"
#include "core/TextHelpers.h"

#include "core/StringListEx.h"
#include "platform/CommandLine.h"
#include "platform/Paths.h"

namespace console {

namespace {
// Option files may name each other; a cycle must not recurse forever.
constexpr int MaxOptionFileDepth = 16;

std::string_view Unquote(std::string_view text) {
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
        return text.substr(1, text.size() - 2);
    }
    return text;
}
} // namespace

TCmdLineParser TCmdLineParser::FromProcessCommandLine() {
    TCmdLineParser parser;
    parser.SkipFirstToken = true;
    parser.ParseArguments(platform::ProcessArguments());
    return parser;
}

void TCmdLineParser::Parse(std::string_view text) {
    ParseNested(text, 0);
}

void TCmdLineParser::ParseArguments(const std::vector<std::string>& args) {
    for (const std::string& arg : args) {
        ParseToken(arg, false, 0);
    }
}

void TCmdLineParser::ParseNested(std::string_view text, int depth) {
    core::TStringListEx tokens;
    tokens.SplitWhitespace(text);
    for (const std::string& token : tokens.Strings()) {
        ParseToken(token, true, depth);
    }
}

void TCmdLineParser::ParseToken(std::string_view token, bool unquote, int depth) {
    if (SkipFirstToken) {
        SkipFirstToken = false;
        return;
    }
    const auto strip = [unquote](std::string_view text) { return unquote ? Unquote(text) : text; };
    if (token.starts_with('@')) {
        const std::string fileName(strip(token.substr(1)));
        if (depth < MaxOptionFileDepth && platform::FileExists(fileName)) {
            std::string content;
            try {
                // The size check first: the text form would be cut at the limit unseen.
                core::ReadOptionFile(fileName);
                content =
                    core::TStringListEx::ReadFileAsText(fileName, core::MaxOptionFileSize, true);
            } catch (const std::exception&) {
                return; // an unreadable file adds nothing, like a missing one
            }
            ParseNested(content, depth + 1);
        }
        return;
    }
    if (!platform::IsOptionArgument(token)) {
        return;
    }
    const std::size_t eq = token.find('=');
    const std::string_view name =
        token.substr(1, eq == std::string::npos ? std::string::npos : eq - 1);
    const std::string_view value =
        eq == std::string::npos ? std::string_view() : strip(token.substr(eq + 1));
    values.emplace(core::LowerCaseAscii(name), std::string(value));
}

std::string TCmdLineParser::GetValue(std::string_view name, std::string_view defaultValue) const {
    const auto it = values.find(core::LowerCaseAscii(name));
    return it == values.end() ? std::string(defaultValue) : it->second;
}

} // namespace console
