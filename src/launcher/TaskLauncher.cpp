#include "launcher/TaskLauncher.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

#include "core/CacheKeyFile.h"
#include "core/CacheOutcome.h"
#include "core/ResponseFiles.h"
#include "core/TaskProtocol.h"
#include "core/ToolCommandLine.h"
#include "launcher/BuildStreams.h"
#include "launcher/DiagnosticCounter.h"
#include "launcher/OutputForwarder.h"
#include "launcher/ToolEnvironment.h"
#include "platform/Clock.h"
#include "platform/FileIdentity.h"
#include "platform/Files.h"
#include "platform/LocalSocket.h"
#include "platform/Paths.h"
#include "platform/ToolProcess.h"

namespace launcher {

namespace {

constexpr int NotFoundStatus = 127;
constexpr const char* CacheLogVariable = "CCACHE_LOGFILE";

void Report(const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", LauncherFileName.data(), text.c_str());
}

// Reads one message; none when the connection closed or broke.
std::optional<core::TTaskMessage> ReadMessage(platform::TLocalSocket& socket,
                                              core::TTaskFrameReader& reader) {
    char buffer[4096];
    for (;;) {
        if (auto message = reader.Next()) {
            return message;
        }
        const auto n = socket.Receive(buffer, sizeof buffer);
        if (n <= 0) {
            return std::nullopt;
        }
        reader.Append(std::string_view(buffer, static_cast<std::size_t>(n)));
    }
}

// What the cache engine did for this call, from the log the grant asked it to write; the
// log (it names the shared level's address) goes once it is read.
std::string CacheOutcomeOf(const std::map<std::string, std::string>& grantEnv) {
    const auto log = grantEnv.find(CacheLogVariable);
    return log == grantEnv.end() ? std::string()
                                 : core::CacheOutcomeToText(core::TakeCacheOutcome(log->second));
}

// A response file's text for classifying the call; none for a file that cannot be read
// or is too large to be one (the tool then reports it as it would anyway). Only a
// regular file is read: a pipe such as @/dev/stdin is the tool's to read, and an
// open of a FIFO without a writer would block.
std::optional<std::string> ReadResponseFile(const std::string& path) {
    constexpr std::size_t MaxLength = 16 * 1024 * 1024;
    std::string text;
    if (!platform::RegularFileExists(path) ||
        platform::ReadWholeFile(path, text, MaxLength + 1) != platform::TFileReadResult::Ok ||
        text.size() > MaxLength) {
        return std::nullopt;
    }
    return text;
}

// The value of `name` in `env`; none when it is not set (an empty value is a value).
std::optional<std::string> Lookup(const std::vector<std::string>& env, std::string_view name) {
    for (const std::string& entry : env) {
        if (entry.size() > name.size() && entry[name.size()] == '=' &&
            std::string_view(entry).substr(0, name.size()) == name) {
            return entry.substr(name.size() + 1);
        }
    }
    return std::nullopt;
}

int ExecOrFail(const std::string& tool, const std::vector<std::string>& argv,
               const std::vector<std::string>& env) {
    Report(platform::ExecTool(tool, argv, env));
    return NotFoundStatus;
}

// One run of the tool as a grant shapes it, and its end. `settled` is set when the
// build took the task's result from another attempt meanwhile (the tool was stopped).
struct TAttempt {
    core::TTaskEnd End;
    std::optional<core::TTaskSettled> Settled;
};

// The status a settled task's launcher exits with.
int StatusOf(const core::TTaskSettled& settled) {
    return settled.signal != 0 ? 128 + settled.signal : settled.exitCode;
}

TAttempt RunGranted(const core::TTaskGrant& grant, const std::string& tool,
                    const std::vector<std::string>& runArgs, const std::vector<std::string>& env,
                    const std::string& self, const std::string& masquerade, int depth,
                    TOutputForwarder& forwarder, platform::TLocalSocket& socket,
                    core::TTaskFrameReader& reader) {
    std::string program = tool;
    std::vector<std::string> argv = runArgs;
    const std::vector<std::string> toolEnv = ToolEnvironment(env, masquerade, depth + 1, grant.env);
    if (!grant.prefix.empty()) {
        program = grant.prefix[0];
        if (program.find('/') == std::string::npos) {
            program = FindRealTool(program, ValueOf(toolEnv, "PATH"), self, masquerade);
        }
        argv = grant.prefix;
        // A helper runs a compiler named by its bare name from its own PATH, the one its
        // probe checked; a path would bypass that. The name goes only when it names this
        // very tool here too.
        const bool byName =
            grant.remote && runArgs[0].find('/') == std::string::npos &&
            FindRealTool(runArgs[0], ValueOf(toolEnv, "PATH"), self, masquerade) == tool;
        argv.push_back(byName ? runArgs[0] : tool);
        argv.insert(argv.end(), runArgs.begin() + 1, runArgs.end());
    }

    if (!grant.keyFile.empty()) {
        // A file that cannot be written leaves ccache nothing to hash: it compiles
        // without a cached result and says why.
        std::error_code ignored;
        std::filesystem::remove(grant.keyFile, ignored);
        core::WriteCacheKeyFile(grant.keyFile, grant.keyVariables,
                                [&env](std::string_view name) { return Lookup(env, name); });
    }
    std::optional<core::TTaskSettled> settled;
    platform::TToolWatch watch;
    if (grant.remote) {
        // The build may run the task here as well and take whichever ends first: it
        // learns how the task runs here, and may tell this run to stop. The build prints
        // the winner's output, so a task whose output goes elsewhere is not run twice.
        try {
            if (forwarder.TakesAll()) {
                socket.SendAll(core::EncodeTaskFrame(
                    core::TTaskLocalRun{runArgs, ToolEnvironment(env, masquerade, depth + 1, {})}));
            }
        } catch (const core::ETaskProtocolError&) {
            // Too large to tell: the task simply runs only remotely.
        }
        watch.Socket = &socket;
        watch.Readable = [&]() {
            std::optional<core::TTaskMessage> message;
            try {
                message = ReadMessage(socket, reader);
            } catch (const core::ETaskProtocolError&) {
                return platform::TWatchVerdict::Forget;
            }
            const auto* settle = message ? std::get_if<core::TTaskSettled>(&*message) : nullptr;
            if (!settle) {
                return platform::TWatchVerdict::Forget;
            }
            settled = *settle;
            return platform::TWatchVerdict::StopTool;
        };
    }
    auto counter = std::make_unique<TDiagnosticCounter>();
    const auto started = std::chrono::steady_clock::now();
    platform::TToolExit exit;
    const auto run = [&](const std::string& file, const std::vector<std::string>& words) {
        counter = std::make_unique<TDiagnosticCounter>();
        // The tool's output belongs to its task: the build writes it, unless it is gone;
        // a stopped tool's last words belong to nobody.
        exit = platform::RunTool(
            file, words, toolEnv,
            [&](int stream, std::string_view bytes) {
                if (settled) {
                    return true;
                }
                counter->Add(stream, bytes);
                return forwarder.Send(stream, bytes);
            },
            grant.remote ? &watch : nullptr);
    };
    if (program.empty()) {
        exit.Error = "\"" + grant.prefix[0] + "\" is not on PATH";
    } else {
        run(program, argv);
    }
    std::string cacheText = CacheOutcomeOf(grant.env);
    if (!grant.keyFile.empty()) {
        std::error_code ignored;
        std::filesystem::remove(grant.keyFile, ignored);
    }
    if (grant.env.count(CacheLogVariable) > 0 &&
        core::CacheEngineFailed(core::CacheOutcomeFromText(cacheText),
                                !exit.Started || exit.ExitCode != 0 || exit.Signal != 0)) {
        // The task runs again without the cache, here, and the failure is told, not the
        // task's.
        cacheText = core::CacheOutcomeToText(core::CacheEngineFailure(
            exit.Started ? "exit status " + std::to_string(exit.ExitCode) : exit.Error));
        if (!settled) {
            run(tool, runArgs);
        }
    }
    counter->Finish();
    core::TTaskEnd end;
    if (!exit.Started) {
        Report(exit.Error);
        exit.ExitCode = NotFoundStatus;
        end.engineFailure = !grant.prefix.empty();
    }
    end.exitCode = exit.ExitCode;
    end.signal = exit.Signal;
    end.errors = counter->Errors();
    end.warnings = counter->Warnings();
    end.durationMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - started)
                         .count();
    // distcc reports its own failures (not the compiler's) with statuses 100 to 127,
    // also when it runs as the cache engine's prefix.
    if (exit.Started && grant.remote && !settled &&
        core::DistributionFailureStatus(exit.ExitCode)) {
        end.engineFailure = true;
    }
    end.cache = cacheText;
    return TAttempt{end, settled};
}

} // namespace

int RunLauncher(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    const std::string self = platform::ProgramFileName();
    const std::string masquerade = MasqueradeFolderOf(self);
    const std::string calledAs = args.empty() ? std::string() : platform::ExtractFileName(args[0]);

    // The tool and its argv as the build called it.
    std::string tool;
    std::vector<std::string> toolArgs;
    if (calledAs == LauncherFileName || calledAs == platform::ExtractFileName(self)) {
        constexpr std::string_view option = "--tool=";
        if (args.size() < 3 || args[1].compare(0, option.size(), option) != 0 ||
            args[1].size() == option.size()) {
            Report("usage: morvek-task --tool=PATH ARGV0 [ARGUMENTS...]");
            return 2;
        }
        tool = args[1].substr(option.size());
        toolArgs.assign(args.begin() + 2, args.end());
        if (platform::SameFile(tool, self)) {
            // Never start the launcher itself again: look the name up instead.
            tool = FindRealTool(platform::ExtractFileName(tool), ValueOf(env, "PATH"), self,
                                masquerade);
        }
    } else {
        toolArgs = args;
        tool = FindRealTool(calledAs, ValueOf(env, "PATH"), self, masquerade);
    }
    if (tool.empty()) {
        Report(calledAs + ": the real tool is not on PATH (the masquerade folder and the "
                          "launcher itself left out)");
        return NotFoundStatus;
    }
    // A bare argv[0] stays (drivers pick their mode by it); a path names the real tool.
    std::vector<std::string> runArgs = toolArgs;
    if (runArgs[0].find('/') != std::string::npos) {
        runArgs[0] = tool;
    }

    const std::string depthText = ValueOf(env, DepthVariable);
    // A value that is no small number is not ours: it counts as no depth.
    int depth = 0;
    if (!depthText.empty() && depthText.size() <= 3 &&
        depthText.find_first_not_of("0123456789") == std::string::npos) {
        depth = std::stoi(depthText);
    }
    if (depth >= MaxDepth) {
        Report(calledAs + ": launchers keep starting each other; the real tool is not reachable");
        return NotFoundStatus;
    }
    const std::string endpoint = ValueOf(env, EndpointVariable);
    // The tool run without a task: its environment is made only on this path, as a
    // granted task's is made from the grant.
    const auto runPlain = [&] {
        return ExecOrFail(tool, runArgs, ToolEnvironment(env, masquerade, depth + 1, {}));
    };
    // Inside another task, or outside a build: the real tool, unchanged.
    if (depth > 0 || endpoint.empty()) {
        return runPlain();
    }
    const core::TToolCall call =
        core::ClassifyToolCall(tool, core::ExpandResponseFiles(toolArgs, ReadResponseFile));
    if (call.kind == core::TToolCallKind::Probe) {
        return runPlain();
    }
    auto socket = platform::TLocalSocket::Connect(endpoint);
    if (!socket) {
        return runPlain();
    }
    core::TTaskBegin begin;
    begin.pid = platform::CurrentProcessId();
    begin.tool = tool;
    begin.argv = toolArgs;
    begin.cwd = platform::GetCurrentDir();
    begin.kind = core::TaskKindOf(call.kind);
    begin.source = call.source;
    begin.output = call.output;
    begin.caption = call.caption;
    std::string frame;
    try {
        frame = core::EncodeTaskFrame(begin);
    } catch (const core::ETaskProtocolError&) {
        // A command line larger than a frame: the build cannot schedule it.
        return runPlain();
    }
    core::TTaskFrameReader reader;
    std::optional<core::TTaskMessage> reply;
    if (socket->SendAll(frame)) {
        try {
            reply = ReadMessage(*socket, reader);
        } catch (const core::ETaskProtocolError&) {
            reply.reset();
        }
    }
    if (!reply || std::holds_alternative<core::TTaskBegin>(*reply) ||
        std::holds_alternative<core::TTaskEnd>(*reply)) {
        // The build is gone or broken: the tool still runs, unchanged.
        socket.reset();
        return runPlain();
    }
    if (const auto* deny = std::get_if<core::TTaskDeny>(&*reply)) {
        Report(deny->reason);
        return 1;
    }
    core::TTaskGrant grant = std::get<core::TTaskGrant>(*reply);
    TOutputForwarder forwarder(*socket,
                               StreamsTheBuildTakes(ValueOf(env, core::BuildOutputVariable)));
    for (;;) {
        const TAttempt attempt = RunGranted(grant, tool, runArgs, env, self, masquerade, depth,
                                            forwarder, *socket, reader);
        socket->SendAll(core::EncodeTaskFrame(attempt.End));
        if (!grant.remote) {
            return attempt.End.exitCode;
        }
        // A task that failed on a helper may run again: the scheduler sends its next
        // grant, or ends the connection when the task is done. When another attempt
        // gave the task's result, it sends that attempt's status.
        std::optional<core::TTaskMessage> next;
        try {
            next = ReadMessage(*socket, reader);
        } catch (const core::ETaskProtocolError&) {
            next.reset();
        }
        if (const auto* settled = next ? std::get_if<core::TTaskSettled>(&*next) : nullptr) {
            return StatusOf(*settled);
        }
        if (attempt.Settled) {
            // The build ended the connection before it confirmed the other attempt's
            // result: the status it named first.
            return StatusOf(*attempt.Settled);
        }
        const auto* again = next ? std::get_if<core::TTaskGrant>(&*next) : nullptr;
        if (!again) {
            if (const auto* deny = next ? std::get_if<core::TTaskDeny>(&*next) : nullptr) {
                Report(deny->reason);
            }
            return attempt.End.exitCode;
        }
        grant = *again;
    }
}

} // namespace launcher
