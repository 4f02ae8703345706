#pragma once
// A simple option parser that keeps option values exactly as typed: it splits at
// white space (quoted runs kept whole) and applies no backslash rules.
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace console {

class TCmdLineParser {
public:
    TCmdLineParser() = default;
    explicit TCmdLineParser(std::string_view text) { Parse(text); }
    // Reads the process arguments, skipping the program name. Each argument is one
    // token taken as it is, so no character of a value is lost to quoting.
    static TCmdLineParser FromProcessCommandLine();

    void Parse(std::string_view text);
    // Each argument is one token; values and "@" file names keep any quotes.
    void ParseArguments(const std::vector<std::string>& args);
    std::string GetValue(std::string_view name, std::string_view defaultValue) const;

    bool SkipFirstToken = false;

private:
    void ParseNested(std::string_view text, int depth);
    // `unquote`: the token comes from split text, whose quotes group and are removed.
    void ParseToken(std::string_view token, bool unquote, int depth);
    // Names compare ignoring case; the first value stored for a name wins.
    std::unordered_map<std::string, std::string> values;
};

} // namespace console
