#pragma once
// A simple option parser that keeps option values exactly as typed: it splits at
// white space (quoted runs kept whole) and applies no backslash rules.
#include <string>
#include <string_view>
#include <unordered_map>

namespace console {

class TCmdLineParser {
public:
    TCmdLineParser() = default;
    explicit TCmdLineParser(std::string_view text) { Parse(text); }
    // Reads the process command line as typed, skipping the program name.
    static TCmdLineParser FromProcessCommandLine();

    void Parse(std::string_view text);
    std::string GetValue(std::string_view name, std::string_view defaultValue) const;

    bool SkipFirstToken = false;

private:
    void ParseNested(std::string_view text, int depth);
    // Names compare ignoring case; the first value stored for a name wins.
    std::unordered_map<std::string, std::string> values;
};

} // namespace console
