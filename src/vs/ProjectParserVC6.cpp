#include "vs/ProjectParserVC6.h"

#include "core/Errors.h"
#include "core/TextHelpers.h"
#include "platform/Environment.h"
#include "platform/Paths.h"
#include "vs/ParamRules.h"
#include "vs/PathVariables.h"
#include "vs/ReferenceExpander.h"

#include <algorithm>
#include <array>
#include <limits>

namespace vs {

namespace {
// Enough for any real nesting; a self-referencing variable must fail, not hang.
constexpr int MaxExpansions = 1024;
// Real projects nest a handful of items; hostile ones must not exhaust the stack.
constexpr int MaxItemDepth = 256;

constexpr std::array<std::string_view, 7> TargetTypes = {
    "Dynamic-Link Library", "Generic Project", "Console Application",   "External Target",
    "Application",          "Static Library",  "***External Project***"};

constexpr std::array<std::string_view, 14> BuiltInVariables = {
    "IntDir",     "OutDir",    "TargetDir", "InputDir",        "ProjDir",
    "WkspDir",    "MsDevDir",  "RemoteDir", "TargetPath",      "InputPath",
    "TargetName", "InputName", "WkspName",  "RemoteTargetPath"};

constexpr std::array<std::string_view, 7> IgnoredAssignments = {
    "wkspdir", "targetname", "targetpath", "targetdir", "inputname", "inputpath", "inputdir"};

template <std::size_t N>
bool OneOf(const std::array<std::string_view, N>& names, std::string_view name) {
    for (const std::string_view candidate : names) {
        if (core::SameText(candidate, name)) {
            return true;
        }
    }
    return false;
}

std::vector<std::string> Tokens(std::string_view text) {
    core::TStringListEx list;
    list.SplitWhitespace(text);
    return list.Strings();
}

bool IsNameChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

TParserItemKind KindOf(std::string_view text, std::string& description) {
    const struct {
        std::string_view Text;
        TParserItemKind Kind;
    } kinds[] = {{"Project", TParserItemKind::Project},
                 {"Target", TParserItemKind::Target},
                 {"Group", TParserItemKind::Group},
                 {"Source File", TParserItemKind::SourceFile},
                 {"Special Build Tool", TParserItemKind::SpecialBuildTool},
                 {"Custom Build", TParserItemKind::CustomBuild}};
    for (const auto& kind : kinds) {
        if (text.starts_with(kind.Text)) {
            std::string_view rest = core::TrimText(text.substr(kind.Text.size()));
            if (rest.starts_with('-')) {
                rest = core::TrimText(rest.substr(1)); // "# Begin Custom Build - text"
            }
            description = std::string(core::UnquoteText(rest));
            return kind.Kind;
        }
    }
    description = std::string(core::TrimText(text));
    return TParserItemKind::Other;
}

// Without trailing blanks and control characters.
void TrimRight(std::string& text) {
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') {
        text.pop_back();
    }
}

std::string Join(const std::vector<std::string>& items, std::size_t first) {
    std::string text;
    for (std::size_t i = first; i < items.size(); ++i) {
        if (!text.empty()) {
            text += ' ';
        }
        text += items[i];
    }
    return text;
}
} // namespace

const std::string* TParserItem::FindVariable(std::string_view name) const {
    for (const TParserItem* item = this; item != nullptr; item = item->Parent) {
        if (const auto it = item->Variables.find(name); it != item->Variables.end()) {
            return &it->second;
        }
    }
    return nullptr;
}

const std::string* TParserItem::FindSetting(std::string_view tool) const {
    for (const TParserItem* item = this; item != nullptr; item = item->Parent) {
        if (const auto it = item->Settings.find(tool); it != item->Settings.end()) {
            return &it->second;
        }
    }
    return nullptr;
}

bool TParserItem::HasAncestorOfKind(TParserItemKind kind) const {
    for (const TParserItem* item = this; item != nullptr; item = item->Parent) {
        if (item->Kind == kind) {
            return true;
        }
    }
    return false;
}

void TProjectParserVC6::Clear() {
    TProjectParserVC::Clear();
    loaded = false;
    defaultConfiguration.clear();
    lines.Clear();
    root.reset();
    usedVariables.Clear();
    inCondition = false;
    active = true;
    branchTaken = false;
    depth = 0;
}

void TProjectParserVC6::LoadFromFile(const std::string& name) {
    LoadFromFile(name, loReadConfigurations | loReadDefaultConfiguration | loInterpretBody);
}

void TProjectParserVC6::LoadFromFile(const std::string& name, unsigned options) {
    std::string text;
    try {
        text = core::TStringListEx::ReadFileAsText(name, std::numeric_limits<std::size_t>::max(),
                                                   true);
    } catch (...) {
        core::RethrowWrapped("Cannot load project file: " + name + " (configuration '', line 0)");
    }
    LoadFromText(name, text, options);
}

void TProjectParserVC6::LoadFromText(const std::string& name, std::string_view text,
                                     unsigned options) {
    if (loaded) {
        core::Raise(core::EGeneralError("Already loaded."));
    }
    line = 0;
    try {
        fileName = name;
        ProjectName = platform::FileNameWithoutExt(name);
        const std::string current = platform::GetCurrentDir();
        if (current.empty() && !platform::IsAbsolutePath(name)) {
            core::Raise(core::EGeneralError("Unable to determine current directory."));
        }
        folder = platform::ExtractFileDir(platform::ExpandPath(name, current));
        lines.SetText(text);
        if (options & loReadConfigurations) {
            ReadConfigurations();
        }
        if (options & loReadDefaultConfiguration) {
            ReadDefaultConfiguration();
        }
        if (options & loInterpretBody) {
            InterpretBody();
        }
        loaded = true;
    } catch (...) {
        const std::string configuration = defaultConfiguration;
        const int lineNumber = line + 1;
        Clear();
        core::RethrowWrapped("Cannot load project file: " + name + " (configuration '" +
                             configuration + "', line " + std::to_string(lineNumber) + ")");
    }
}

void TProjectParserVC6::ReadConfigurations() {
    constexpr std::string_view marker = "!MESSAGE \"";
    int last = -1;
    for (line = 0; line < lines.Count(); ++line) {
        if (last >= 0 && line > last + 2) {
            break;
        }
        const std::string& text = lines[line];
        if (!text.starts_with(marker)) {
            continue;
        }
        const std::size_t close = text.find('"', marker.size());
        const std::string name = text.substr(
            marker.size(), close == std::string::npos ? std::string::npos : close - marker.size());
        if (name.find(" - ") == std::string::npos) {
            continue;
        }
        last = line;
        try {
            const std::string_view rest = core::TrimText(
                close == std::string::npos ? std::string_view()
                                           : std::string_view(text).substr(close + 1));
            if (!rest.starts_with('(')) {
                core::Raise(core::EGeneralError("Left-parenthesis expected."));
            }
            const std::size_t open = rest.find('"');
            const std::size_t end =
                open == std::string_view::npos ? open : rest.find('"', open + 1);
            const std::string targetType(end == std::string_view::npos
                                             ? std::string_view()
                                             : rest.substr(open + 1, end - open - 1));
            if (targetType.empty()) {
                core::Raise(core::EGeneralError("Target type expected between parenthesis."));
            }
            AddConfiguration(name, targetType,
                             static_cast<std::uint8_t>(TargetTypeIndex(targetType)));
        } catch (...) {
            core::RethrowWrapped("Line " + std::to_string(line + 1) +
                                 ": Failed to retrieve target type for configuration \"" + name +
                                 "\".");
        }
    }
}

void TProjectParserVC6::ReadDefaultConfiguration() {
    for (line = 0; line < lines.Count() && defaultConfiguration.empty(); ++line) {
        if (lines[line].starts_with("CFG=")) {
            defaultConfiguration =
                std::string(core::TrimText(std::string_view(lines[line]).substr(4)));
            break;
        }
    }
}

int TProjectParserVC6::TargetTypeIndex(std::string_view targetType) const {
    constexpr std::string_view prefix = "Win32 (x86) ";
    for (std::size_t i = 0; i < TargetTypes.size(); ++i) {
        const std::string full =
            (i + 1 == TargetTypes.size() ? "" : std::string(prefix)) + std::string(TargetTypes[i]);
        if (core::SameText(targetType, full)) {
            return static_cast<int>(i) + 1;
        }
    }
    return 0;
}

std::string TProjectParserVC6::Platform(std::string_view) const {
    return "Win32";
}

int TProjectParserEVC4::TargetTypeIndex(std::string_view targetType) const {
    if (targetType.size() < 11 || !core::SameText(targetType.substr(0, 11), "Win32 (WCE ")) {
        return 0;
    }
    const std::size_t close = targetType.find(')');
    if (close == std::string_view::npos || close + 2 > targetType.size()) {
        return 0;
    }
    const std::string_view type = targetType.substr(close + 2);
    for (std::size_t i = 0; i < TargetTypes.size(); ++i) {
        if (core::SameText(type, TargetTypes[i])) {
            return static_cast<int>(i) + 1;
        }
    }
    return 0;
}

std::string TProjectParserEVC4::Platform(std::string_view configuration) const {
    const std::size_t dash = configuration.find(" - ");
    if (dash == std::string_view::npos) {
        return {};
    }
    const std::string_view rest = configuration.substr(dash + 3);
    return std::string(rest.substr(
        0, rest.find(')') == std::string_view::npos ? std::string_view::npos : rest.find(')') + 1));
}

std::string TProjectParserVC6::ExpandVariables(const TParserItem& item, std::string_view text,
                                               bool noteUnknown) {
    constexpr TReferenceSyntax syntax{.Open = "$(",
                                      .Close = ')',
                                      .MaxReplacements = MaxExpansions,
                                      .MissingCloseMessage =
                                          "Error expanding variable. closing \")\" not found"};
    return ExpandReferences(text, syntax, [&](const std::string& name) {
        const std::string* value = item.FindVariable(name);
        if (value == nullptr && noteUnknown && !OneOf(BuiltInVariables, name)) {
            usedVariables.Add(name);
        }
        return value;
    });
}

void TProjectParserVC6::InterpretBody() {
    root = std::make_unique<TParserItem>(TParserItemKind::Root, nullptr, std::string());
    root->Variables = EnvironmentVariables();
    if (!defaultConfiguration.empty()) {
        root->Variables["CFG"] = defaultConfiguration;
    }
    if (!WorkspaceFolder.empty()) {
        root->Variables["WkspDir"] = WorkspaceFolder;
    }
    line = 0;
    InterpretItem(*root);
}

bool TProjectParserVC6::Directive(const TParserItem& item, std::string_view text) {
    if (!text.starts_with('!')) {
        return false;
    }
    const std::vector<std::string> tokens = Tokens(ExpandVariables(item, text));
    const std::string& word = tokens.empty() ? std::string() : tokens[0];
    const auto condition = [&]() {
        if (tokens.size() != 4) {
            core::Raise(core::EGeneralError("4 tokens expected in line, " +
                                            std::to_string(tokens.size()) + " found."));
        }
        if (tokens[2] != "==") {
            core::Raise(core::EGeneralError("== expected, " + tokens[2] + " found."));
        }
        return core::SameText(tokens[1], tokens[3]);
    };
    if (core::SameText(word, "!IF")) {
        if (inCondition) {
            core::Raise(core::EGeneralError("Nested conditions are not allowed."));
        }
        active = condition();
        branchTaken = active;
        inCondition = true;
    } else if (core::SameText(word, "!ELSEIF")) {
        if (!inCondition) {
            core::Raise(core::EGeneralError("Unexpected !ELSEIF found."));
        }
        const bool holds = condition();
        active = !branchTaken && holds;
        branchTaken = branchTaken || active;
    } else if (core::SameText(word, "!ELSE")) {
        if (!inCondition) {
            core::Raise(core::EGeneralError("Unexpected !ELSE found."));
        }
        active = !branchTaken;
        branchTaken = true;
    } else if (core::SameText(word, "!ENDIF")) {
        if (!inCondition) {
            core::Raise(core::EGeneralError("Unexpected !ENDIF found."));
        }
        inCondition = false;
        active = true;
    }
    return true;
}

void TProjectParserVC6::InterpretItem(TParserItem& item) {
    for (; line < lines.Count(); ++line) {
        std::string raw = lines[line];
        // A line ending in "\" continues on the next one.
        while (raw.ends_with('\\') && line + 1 < lines.Count()) {
            raw.pop_back();
            TrimRight(raw);
            raw += lines[++line];
        }
        if (Directive(item, raw) || !active) {
            continue;
        }
        if (item.Kind == TParserItemKind::CustomBuild && commandsOpen &&
            (raw.starts_with('\t') || raw.starts_with(' ')) && !core::TrimText(raw).empty()) {
            item.Commands.push_back(std::string(core::TrimText(raw)));
            continue;
        }
        commandsOpen = false;
        const std::size_t eq = raw.find('=');
        const std::string_view name = std::string_view(raw).substr(0, eq);
        if (eq != std::string::npos && eq > 0 &&
            std::all_of(name.begin(), name.end(), IsNameChar)) {
            Assignment(item, name, std::string_view(raw).substr(eq + 1));
            continue;
        }
        const std::string expanded = ExpandVariables(item, raw);
        const std::vector<std::string> tokens = Tokens(expanded);
        if (tokens.size() >= 2 && tokens[0] == "#") {
            const std::string& verb = tokens[1];
            if (verb == "PROP") {
                if (tokens.size() < 3) {
                    core::Raise(core::EGeneralError("At least 3 tokens expected. " +
                                                    std::to_string(tokens.size()) + " found."));
                }
                if (tokens[2] == "BASE") {
                    continue;
                }
                std::string value = Join(tokens, 3);
                const std::string upper = core::UpperCaseAscii(tokens[2]);
                if (upper.find("_DIR") != std::string::npos) {
                    value = std::string(core::UnquoteText(value));
                }
                item.Settings[tokens[2]] = value;
                continue;
            }
            if ((verb == "ADD" || verb == "SUBTRACT") && tokens.size() >= 3 &&
                tokens[2] != "BASE") {
                const std::string& tool = tokens[2];
                core::TStringListEx current;
                if (const std::string* setting = item.FindSetting(tool)) {
                    current.SplitWhitespace(*setting);
                }
                core::TStringListEx switches;
                for (std::size_t i = 3; i < tokens.size(); ++i) {
                    switches.Add(tokens[i]);
                }
                if (const TParamRule* rule = FindParamRule(tool)) {
                    if (verb == "ADD") {
                        AddSwitches(*rule, switches, current);
                    } else {
                        SubtractSwitches(*rule, switches, current);
                    }
                } else if (verb == "ADD") {
                    for (const std::string& s : switches.Strings()) {
                        current.Add(s);
                    }
                }
                item.Settings[tool] = current.Join(' ');
                continue;
            }
            if (verb == "Begin") {
                if (!expanded.starts_with("# Begin ")) {
                    core::Raise(core::EGeneralError("# Begin expected"));
                }
                std::string description;
                const TParserItemKind kind =
                    KindOf(std::string_view(expanded).substr(8), description);
                if (kind == TParserItemKind::CustomBuild && description.empty()) {
                    description = "Performing Custom Build Step on $(InputPath)";
                }
                if (++depth > MaxItemDepth) {
                    core::Raise(core::EGeneralError("Build items are nested too deeply."));
                }
                auto child = std::make_unique<TParserItem>(kind, &item, std::move(description));
                ++line;
                InterpretItem(*child);
                --depth;
                item.Children.push_back(std::move(child));
                continue;
            }
            if (verb == "End") {
                item.Description = ExpandVariables(item, item.Description);
                return;
            }
        }
        if (item.Kind == TParserItemKind::CustomBuild) {
            CustomBuildLine(item, tokens);
        }
    }
}

void TProjectParserVC6::Assignment(TParserItem& item, std::string_view name,
                                   std::string_view value) {
    if (core::SameText(name, "CFG") && item.FindVariable("CFG") != nullptr) {
        return;
    }
    if (name.size() >= 7 && core::SameText(name.substr(0, 7), "USERDEP")) {
        item.Variables["___USERDEP___"] = std::string(value);
        if (item.Kind == TParserItemKind::CustomBuild) {
            for (const std::string& input : Tokens(ExpandVariables(item, value))) {
                item.Inputs.push_back(platform::ExpandPath(
                    platform::ToNativeSeparators(core::UnquoteText(input)), folder));
            }
        }
        return;
    }
    if (OneOf(IgnoredAssignments, name)) {
        return;
    }
    std::string expanded = ExpandVariables(item, value);
    TrimRight(expanded);
    if (core::SameText(name, "SOURCE") && item.HasAncestorOfKind(TParserItemKind::Target)) {
        const std::string path =
            platform::ExpandPath(platform::ToNativeSeparators(core::UnquoteText(expanded)), folder);
        item.Variables["InputDir"] = platform::ExtractFileDir(path);
        item.Variables["InputPath"] = std::string(core::UnquoteText(expanded));
        item.Variables["InputName"] = platform::FileNameWithoutExt(path);
    }
    item.Variables[std::string(name)] = expanded;
}

void TProjectParserVC6::CustomBuildLine(TParserItem& item, const std::vector<std::string>& tokens) {
    std::size_t colon = 0;
    for (std::size_t i = 1; i + 1 < tokens.size(); ++i) {
        if (tokens[i] == ":") {
            colon = i;
            break;
        }
    }
    if (colon == 0) {
        return;
    }
    const bool firstRule = item.Outputs.empty();
    const auto add = [&](std::vector<std::string>& target, std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i) {
            target.push_back(platform::ExpandPath(
                platform::ToNativeSeparators(core::UnquoteText(tokens[i])), folder));
        }
    };
    add(item.Outputs, 0, colon);
    add(item.Inputs, colon + 1, tokens.size());
    commandsOpen = firstRule;
}

void TProjectParserVC6::GetFiles(core::TStringListEx& files) const {
    const auto walk = [&](const auto& self, const TParserItem& item) -> void {
        if (item.Kind == TParserItemKind::SourceFile) {
            if (const auto it = item.Variables.find("SOURCE"); it != item.Variables.end()) {
                files.Add(std::string(core::UnquoteText(it->second)));
            }
        }
        for (const auto& child : item.Children) {
            self(self, *child);
        }
    };
    if (root) {
        walk(walk, *root);
    }
}

} // namespace vs
