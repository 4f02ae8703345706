#include "buildsys/TaskRules.h"

#include "buildsys/DistccCompile.h"
#include "buildsys/Scheduler.h"
#include "core/Errors.h"
#include "platform/Paths.h"
#include "records/JobProfile.h"

#include <stdexcept>

namespace buildsys {

TTaskRules::TTaskRules(const records::TXml_ProfileDocument& document) {
    profile.Assign(document);
    for (int i = 0; i < profile.Tools.Count(); ++i) {
        const records::TXml_Tool& tool = profile.Tools[i];
        TRule rule;
        rule.AllowRemote = tool.AllowRemote == "true" || tool.AllowRemote == "1";
        try {
            if (!tool.SuccessExitCodes.empty()) {
                rule.ExitCodes.Success = ParseExitCodes(tool.SuccessExitCodes);
            }
            rule.ExitCodes.Warning = ParseExitCodes(tool.WarningExitCodes);
        } catch (const std::invalid_argument& e) {
            core::Raise(std::invalid_argument("The job profile's <Tool Filename=\"" +
                                              tool.Filename + "\">: " + e.what() + "."));
        }
        rules.push_back(std::move(rule));
    }
}

void TTaskRules::Apply(TTaskRequest& request) const {
    const std::string called =
        platform::ExtractFileName(request.Argv.empty() ? request.Tool : request.Argv[0]);
    const records::TXml_Tool* tool = records::FindToolRule(profile, called);
    if (!tool) {
        tool = records::FindToolRule(profile, platform::ExtractFileName(request.Tool));
    }
    for (int i = 0; tool && i < profile.Tools.Count(); ++i) {
        if (&profile.Tools[i] == tool) {
            const TRule& rule = rules[static_cast<std::size_t>(i)];
            request.AllowRemote =
                rule.AllowRemote && request.Kind == "compile" && DistccSendsToHelper(request.Argv);
            request.ExitCodes = rule.ExitCodes;
            return;
        }
    }
}

} // namespace buildsys
