#pragma once
// Knowledge of each tool's switches (which exist, which take a separate value, which
// repeat, which exclude each other), used to merge the add and subtract switch lines
// of older project files into a configuration's switches.
#include "core/StringListEx.h"

#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vs {

class TParamRule {
public:
    virtual ~TParamRule() = default;

    const std::string& Name() const { return name; }
    // The switch name of an item ("/D X" -> "D"), or empty when it has none.
    std::string SwitchName(std::string_view item) const;
    bool IsSeparatedValue(std::string_view name) const { return separatedValue.count(name) > 0; }
    bool IsRepeatable(std::string_view name) const { return repeatable.count(name) > 0; }
    bool IsIgnored(std::string_view name) const { return ignored.count(name) > 0; }
    bool IsValueRequired(std::string_view name) const { return valueRequired.count(name) > 0; }

    // Exclusive groups: members of one group exclude each other.
    using TMember = std::vector<std::string>;
    using TGroup = std::vector<TMember>;
    const std::vector<TGroup>& Groups() const { return groups; }

    // True when the rule merged the switch itself.
    virtual bool SpecialAdd(core::TStringListEx& target, const std::string& item) const;
    virtual bool SpecialSubtract(core::TStringListEx& target, const std::string& item) const;

protected:
    using TNames = std::set<std::string, std::less<>>;
    TParamRule(std::string name, std::vector<std::string_view> known,
               std::vector<std::string_view> separatedValue,
               std::vector<std::string_view> repeatable, std::vector<std::string_view> ignored,
               std::vector<std::string_view> valueRequired, std::vector<std::string_view> groups);

private:
    std::string name;
    TNames known;
    TNames separatedValue;
    TNames repeatable;
    TNames ignored;
    TNames valueRequired;
    std::vector<TGroup> groups;
};

// The rule of a tool as project files name it: "CPP", "RSC", "MTL" or "LINK32";
// null for any other tool.
const TParamRule* FindParamRule(std::string_view toolName);

// The value of a switch item: the rest after its name, trimmed, one pair of quotes removed.
std::string SwitchValue(const TParamRule& rule, std::string_view item);

// Merges an add line or a subtract line (tokens in command-line order) into the target.
void AddSwitches(const TParamRule& rule, const core::TStringListEx& switches,
                 core::TStringListEx& target);
void SubtractSwitches(const TParamRule& rule, const core::TStringListEx& switches,
                      core::TStringListEx& target);

} // namespace vs
