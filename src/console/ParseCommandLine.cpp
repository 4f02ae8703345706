#include "console/GridConsole.h"
#include "core/CmdLineTokenizer.h"
#include "core/OptionFile.h"
#include "platform/Environment.h"
#include "platform/Paths.h"

namespace console {

namespace {
constexpr std::string_view ExtraArgumentsVariable = "twConsoleParams";

// The part of an argument before its first "=".
std::string_view NamePart(std::string_view arg) {
    return arg.substr(0, arg.find('='));
}

void AppendOptionFile(const std::string& fileName, core::TCmdLineTokenizer& tokenizer) {
    // Byte for byte: a byte-order mark stays part of the first argument.
    core::TStringListEx lines;
    lines.SetText(core::ReadOptionFile(fileName));
    for (const std::string& line : lines.Strings()) {
        tokenizer.Tokenize(line);
    }
}
} // namespace

bool TGridConsole::ParseCommandLine() {
    core::TCRTCmdLineTokenizer tokenizer(CommandLine);
    core::TStringListEx& args = tokenizer.Arguments();
    if (!args.Empty()) {
        args.Delete(0);
    }
    if (const std::optional<std::string> extra = platform::GetEnvVar(ExtraArgumentsVariable)) {
        core::TStringListEx extraArgs;
        extraArgs.SplitWhitespace(*extra);
        for (const std::string& arg : extraArgs.Strings()) {
            args.Add(arg);
        }
    }

    bool commandSwitch = false;
    if (Modes & VisualStudio) {
        for (const std::string& arg : args.Strings()) {
            if (arg.find('=') != std::string::npos && core::SameText(NamePart(arg), "/command")) {
                commandSwitch = true;
                break;
            }
        }
    }
    if (commandSwitch) {
        Modes = (Modes & ~VisualStudio) | console::Command;
    } else {
        for (const std::string& arg : args.Strings()) {
            if (core::SameText(NamePart(arg), "/test")) {
                Modes |= console::Test;
                break;
            }
        }
    }

    ArgumentCount = args.Count();

    // Only the arguments present now are expanded: "@" inside an option file stays as it is.
    bool expanded = false;
    for (int i = 0, count = args.Count(); i < count; ++i) {
        if (!args[i].starts_with('@')) {
            continue;
        }
        const std::string fileName = args[i].substr(1);
        AppendOptionFile(fileName, tokenizer);
        args.Put(i, std::string());
        expanded = true;
    }

    enum { None, Out, Make, Configuration, Project, ProjectConfig } state = None;
    PositionalFileCount = 0;
    for (int i = 0; i < args.Count(); ++i) {
        const std::string& arg = args[i];
        if (arg.empty()) {
            continue;
        }
        if (i == 0 && (Modes & VisualStudio) &&
            (core::SameText(arg, "msdev") || core::SameText(arg, "devenv"))) {
            DevenvSyntax = core::SameText(arg, "msdev") ? 1 : 2;
            continue;
        }
        if (platform::IsOptionArgument(arg)) {
            const std::string name = arg.substr(1);
            state = None;
            if (Modes & VisualStudio) {
                if (core::SameText(name, "out")) {
                    state = Out;
                } else if (core::SameText(name, "make")) {
                    state = Make;
                } else if (core::SameText(name, "build") || core::SameText(name, "clean") ||
                           core::SameText(name, "rebuild")) {
                    if (!BuildCommand.PrimaryFilename.empty() || DevenvSyntax == 2) {
                        state = Configuration;
                    }
                } else if (core::SameText(name, "project")) {
                    state = Project;
                } else if (core::SameText(name, "projectconfig")) {
                    state = ProjectConfig;
                }
            }
            Options.Add(name);
            continue;
        }
        switch (state) {
        case None:
            ++PositionalFileCount;
            BuildCommand.PrimaryFilename = arg;
            break;
        case Out:
            Options.ReplaceLast(Options.Last() + "=" + arg);
            state = None;
            break;
        case Make:
            MakeTargets.Add(arg);
            break;
        case Configuration:
            Configurations = arg;
            state = None;
            break;
        case Project:
            Projects = platform::FileNameWithoutExt(platform::ToNativeSeparators(arg));
            state = None;
            break;
        case ProjectConfig:
            ProjectConfiguration = arg;
            state = None;
            break;
        }
    }
    return expanded;
}

} // namespace console
