#include "buildsys/BuildPlan.h"

#include "core/StringListEx.h"
#include "core/TextHelpers.h"
#include "platform/Environment.h"
#include "platform/Process.h"

namespace buildsys {

namespace {

std::string Refusal(std::string_view buildClass, std::string_view why) {
    return "Build class \"" + std::string(buildClass) +
           "\" cannot be built on this system: " + std::string(why);
}

bool IsVisualStudioClass(std::string_view buildClass) {
    const std::string lower = core::LowerCaseAscii(buildClass);
    return lower.starts_with("vc") || lower.starts_with("evc");
}

std::string_view NameOf(std::string_view entry) {
    // A leading "=" belongs to the name (the hidden per-drive variables of Windows).
    const std::size_t equals = entry.find('=', 1);
    return entry.substr(0, equals);
}
} // namespace

std::string WithoutVariablesStartingWith(std::string_view block, std::string_view prefix) {
    std::string kept;
    for (const std::string_view entry : platform::EnvBlockEntries(block)) {
        if (!NameOf(entry).starts_with(prefix)) {
            kept += entry;
            kept.push_back('\0');
        }
    }
    kept.push_back('\0');
    return kept;
}

std::string MergeEnvironment(std::string_view block, const std::vector<std::string>& forced) {
    std::vector<std::string> entries;
    for (const std::string_view entry : platform::EnvBlockEntries(block)) {
        entries.emplace_back(entry);
    }
    for (const std::string& entry : forced) {
        if (entry.find('=', 1) == std::string::npos) {
            continue; // not an assignment
        }
        bool replaced = false;
        for (std::string& existing : entries) {
            if (NameOf(existing) == NameOf(entry)) {
                existing = entry;
                replaced = true;
            }
        }
        if (!replaced) {
            entries.push_back(entry);
        }
    }
    std::string merged;
    for (const std::string& entry : entries) {
        merged += entry;
        merged.push_back('\0');
    }
    merged.push_back('\0');
    return merged;
}

TBuildPlan PlanBuild(const records::TBuildCommandPacket& request, std::string_view ownEnvironment) {
    TBuildPlan plan;
    const std::string& buildClass = request.BuildClass;
    if (core::SameText(buildClass, "make")) {
        if (request.Command.empty()) {
            plan.Refusal = Refusal(buildClass, "the request holds no command to run.");
        } else {
            plan.Arguments = platform::ShellCommandArguments(request.Command);
        }
    } else if (core::SameText(buildClass, "wrap")) {
        if (!request.Command.empty()) {
            plan.Arguments = platform::ShellCommandArguments(request.Command);
        } else if (!request.PrimaryFilename.empty()) {
            plan.Arguments = platform::ScriptFileArguments(request.PrimaryFilename);
        } else {
            plan.Refusal = Refusal(buildClass, "the request names neither a command nor a script.");
        }
    } else if (IsVisualStudioClass(buildClass)) {
        plan.Refusal = Refusal(buildClass, "Visual Studio builds need Windows.");
    } else if (core::SameText(buildClass, "xml")) {
        if (request.PrimaryFilename.empty()) {
            plan.Refusal = Refusal(buildClass, "the request names no job document.");
        }
        // The document's tasks are the commands: see JobDocumentBuild.h.
    } else {
        plan.Refusal = Refusal(buildClass, "the class is unknown.");
    }
    if (!plan.Refusal.empty()) {
        return plan;
    }
    plan.WorkingDir = request.CurDir;
    std::vector<std::string> forced;
    for (int i = 0; i < request.ForcedEnv.Count(); ++i) {
        forced.push_back(request.ForcedEnv[i]);
    }
    plan.Environment =
        MergeEnvironment(request.EnvBlock.empty() ? ownEnvironment : request.EnvBlock, forced);
    return plan;
}

} // namespace buildsys
