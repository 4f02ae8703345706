#pragma once
// Project files of the oldest generations (.dsp, and .vcp for embedded devices): a
// makefile-like text with configuration messages, "!IF" blocks per configuration,
// variables, "# PROP" and "# ADD"/"# SUBTRACT" tool lines, and nested
// "# Begin"/"# End" build items.
#include "vs/ProjectParser.h"
#include "vs/WorkspaceParser.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace vs {

class TProjectParserVC6;

enum class TParserItemKind {
    Root = 0,
    Project = 1,
    Target = 2,
    Group = 3,
    SourceFile = 4,
    SpecialBuildTool = 5,
    CustomBuild = 6,
    Other = 7
};

// One item of the project's build tree; the root stands for the whole file.
class TParserItem {
public:
    TParserItem(TParserItemKind kind, TParserItem* parent, std::string description)
        : Kind(kind), Parent(parent), Description(std::move(description)) {}

    // Looked up in the item, then its ancestors.
    const std::string* FindVariable(std::string_view name) const;
    const std::string* FindSetting(std::string_view tool) const;
    bool HasAncestorOfKind(TParserItemKind kind) const;

    TParserItemKind Kind;
    TParserItem* Parent;
    std::string Description;
    std::map<std::string, std::string, TCaseInsensitiveLess> Variables;
    std::map<std::string, std::string, TCaseInsensitiveLess> Settings;
    std::vector<std::unique_ptr<TParserItem>> Children;
    // Custom build steps.
    std::vector<std::string> Outputs;
    std::vector<std::string> Inputs;
    std::vector<std::string> Commands;
};

class TProjectParserVC6 : public TProjectParserVC {
public:
    enum TLoadOptions : unsigned {
        loReadConfigurations = 1,
        loReadDefaultConfiguration = 2,
        loInterpretBody = 4,
    };

    void Clear() override;
    void LoadFromFile(const std::string& fileName) override;
    void LoadFromFile(const std::string& fileName, unsigned options);
    // Loads project text as if read from `fileName`.
    void LoadFromText(const std::string& fileName, std::string_view text, unsigned options);
    void GetFiles(core::TStringListEx& files) const override;

    virtual int TargetTypeIndex(std::string_view targetType) const;
    virtual std::string Platform(std::string_view configuration) const;

    const std::string& DefaultConfiguration() const { return defaultConfiguration; }
    const TParserItem* Root() const { return root.get(); }
    // Names used in the body that no item defines.
    const core::TStringListEx& UsedVariables() const { return usedVariables; }
    std::string WorkspaceFolder;

    std::string ExpandVariables(const TParserItem& item, std::string_view text,
                                bool noteUnknown = true);

private:
    void ReadConfigurations();
    void ReadDefaultConfiguration();
    void InterpretBody();
    void InterpretItem(TParserItem& item);
    bool Directive(const TParserItem& item, std::string_view line);
    void Assignment(TParserItem& item, std::string_view name, std::string_view value);
    void CustomBuildLine(TParserItem& item, const std::vector<std::string>& tokens);

    bool loaded = false;
    std::string fileName;
    std::string folder;
    std::string defaultConfiguration;
    core::TStringListEx lines;
    int line = 0; // zero-based index of the line being read
    std::unique_ptr<TParserItem> root;
    core::TStringListEx usedVariables{core::TStringListOptions{.Sorted = true}};
    bool inCondition = false;
    bool active = true;
    bool branchTaken = false;
    bool commandsOpen = false;
    int depth = 0; // nesting of the item being interpreted
};

// The embedded-device variant: target types "Win32 (WCE <cpu>) <type>".
class TProjectParserEVC4 : public TProjectParserVC6 {
public:
    int TargetTypeIndex(std::string_view targetType) const override;
    std::string Platform(std::string_view configuration) const override;
};

} // namespace vs
