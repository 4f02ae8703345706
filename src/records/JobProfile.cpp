#include "records/JobProfile.h"

#include "core/Errors.h"
#include "platform/Paths.h"
#include "records/ToolRuleLookup.h"
#include "records/XmlRecordFile.h"

namespace records {

namespace {

bool IsTrue(const std::string& text) {
    return text == "true" || text == "1";
}

void CheckRules(const TXml_ProfileDocument& profile, const std::string& fileName) {
    for (int i = 0; i < profile.Tools.Count(); ++i) {
        const std::string& name = profile.Tools[i].Filename;
        if (name.empty() || name.find(':') != std::string::npos) {
            core::Raise(
                EXmlRecordError(fileName + ": <Tool> number " + std::to_string(i + 1) +
                                (name.empty() ? " has no Filename"
                                              : " has a \":\" in its Filename \"" + name + "\"")));
        }
        if (!IsTrue(profile.Tools[i].AllowRemote) && !profile.Tools[i].AllowRemote.empty() &&
            profile.Tools[i].AllowRemote != "false" && profile.Tools[i].AllowRemote != "0") {
            core::Raise(EXmlRecordError(fileName + ": <Tool Filename=\"" + name +
                                        "\"> has AllowRemote \"" + profile.Tools[i].AllowRemote +
                                        "\", expected true or false"));
        }
    }
}

} // namespace

std::string DefaultJobProfilePath(std::string_view agentFolder) {
    return platform::IncludeTrailingDelimiter(agentFolder) + "resources/" +
           std::string(DefaultJobProfileFileName);
}

void ApplyProfileRules(TXml_ProfileDocument& base, const TXml_ProfileDocument& over) {
    TXml_ToolList rules;
    rules.Assign(base.Tools);
    base.Assign(over);
    base.Tools.Assign(rules);
    for (int i = 0; i < over.Tools.Count(); ++i) {
        const TXml_Tool& rule = over.Tools[i];
        bool replaced = false;
        for (int n = 0; n < base.Tools.Count() && !replaced; ++n) {
            if (base.Tools[n].Filename == rule.Filename) {
                base.Tools[n].Assign(rule);
                replaced = true;
            }
        }
        if (!replaced) {
            base.Tools.AddNew().Assign(rule);
        }
    }
}

void LoadJobProfile(const std::string& defaultFile, const std::string& profileFile,
                    TXml_ProfileDocument& profile) {
    LoadXmlRecordFile(defaultFile, profile);
    CheckRules(profile, defaultFile);
    if (!profileFile.empty()) {
        TXml_ProfileDocument over;
        LoadXmlRecordFile(profileFile, over);
        CheckRules(over, profileFile);
        ApplyProfileRules(profile, over);
    }
}

const TXml_Tool* FindToolRule(const TXml_ProfileDocument& profile, std::string_view fileName) {
    return FindRuleByFileName(profile.Tools, fileName);
}

std::string InterceptedToolPatterns(const TXml_ProfileDocument& profile) {
    std::string patterns;
    for (int i = 0; i < profile.Tools.Count(); ++i) {
        if (profile.Tools[i].AllowIntercept) {
            patterns += (patterns.empty() ? "" : ":") + profile.Tools[i].Filename;
        }
    }
    return patterns;
}

bool AllowsRemote(const TXml_ProfileDocument& profile, std::string_view fileName) {
    const TXml_Tool* rule = FindToolRule(profile, fileName);
    return rule && IsTrue(rule->AllowRemote);
}

} // namespace records
