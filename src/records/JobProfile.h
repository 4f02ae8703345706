#pragma once
// The job profile a build uses: the default profile of the install, with the
// rules of the /PROFILE file over it by Filename.
#include <string>
#include <string_view>

#include "records/ProfilePackets.h"

namespace records {

inline constexpr std::string_view DefaultJobProfileFileName = "DefaultJobProfile.xml";

// <folder>/resources/DefaultJobProfile.xml.
std::string DefaultJobProfilePath(std::string_view agentFolder);

// Puts the rules of `over` into `base`: a rule whose Filename equals a rule of
// `base` replaces that rule in its place, any other rule is added at the end.
// The document's own fields come from `over`.
void ApplyProfileRules(TXml_ProfileDocument& base, const TXml_ProfileDocument& over);

// Loads the default profile and applies the rules of `profileFile` (none when
// empty). Raises EXmlRecordError naming the file for a file that cannot be read,
// is malformed, or holds a rule without a Filename (or with a ":" in it).
void LoadJobProfile(const std::string& defaultFile, const std::string& profileFile,
                    TXml_ProfileDocument& profile);

// The rule for a tool called by the file name `fileName`: the rule naming it
// exactly, else the first whose Filename pattern matches it; null when none.
const TXml_Tool* FindToolRule(const TXml_ProfileDocument& profile, std::string_view fileName);

// Whether the rule for a tool called by `fileName` lets it run on a helper.
bool AllowsRemote(const TXml_ProfileDocument& profile, std::string_view fileName);

// The Filename of every rule that allows interception, joined by ":" (the
// launchers' MORVEK_TASK_TOOLS).
std::string InterceptedToolPatterns(const TXml_ProfileDocument& profile);

} // namespace records
