#include "agent/HelperProber.h"

#include "core/DiagnosticLog.h"
#include "core/Errors.h"
#include "platform/Clock.h"
#include "platform/Environment.h"
#include "platform/Files.h"
#include "platform/Network.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/SharedObjects.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace agent {

namespace {

constexpr std::uint32_t ConnectTimeoutMs = 1000;
constexpr std::uint32_t CompileTimeoutMs = 20000;
// Over SSH each compile opens a session (a login on the helper), which takes seconds on a
// busy machine.
constexpr std::uint32_t SshCompileTimeoutMs = 90000;
constexpr std::size_t MaxObjectBytes = 4u << 20;
// How often the compilers of a helper that stays reachable are checked again.
constexpr std::int64_t CompilerRecheckMs = 60000;
constexpr std::string_view IdentityMarker = "MORVEK-ID:";
constexpr std::uint16_t SshPort = 22;
constexpr std::size_t MaxStatsBytes = 64 * 1024;

const char ProbeSource[] = R"(/* Which compiler made this object: version and target. */
#if defined(__x86_64__)
#define MV_ARCH "x86_64"
#elif defined(__i386__)
#define MV_ARCH "i386"
#elif defined(__aarch64__)
#define MV_ARCH "aarch64"
#elif defined(__arm__)
#define MV_ARCH "arm"
#elif defined(__riscv)
#define MV_ARCH "riscv"
#elif defined(__powerpc64__)
#define MV_ARCH "powerpc64"
#elif defined(__s390x__)
#define MV_ARCH "s390x"
#else
#define MV_ARCH "unknown"
#endif
#if defined(__linux__)
#define MV_OS "-linux"
#else
#define MV_OS "-other"
#endif
#if defined(__gnu_linux__)
#define MV_ABI "-gnu"
#else
#define MV_ABI ""
#endif
#define MV_TEXT(x) #x
#define MV_NUMBER(x) MV_TEXT(x)
#ifdef __cplusplus
extern "C" {
#endif
extern const char morvek_compiler_identity[];
__attribute__((used)) const char morvek_compiler_identity[] =
    "MORVEK-ID:" __VERSION__ "|" MV_ARCH MV_OS MV_ABI "|ptr" MV_NUMBER(__SIZEOF_POINTER__);
#ifdef __cplusplus
}
#endif
)";

// Runs a compile in `folder`; its error output goes to `folder`/err. True when it
// ended with status 0 within `timeoutMs`. distcc keeps its state in `folder`/distcc,
// made afresh for each compile: its host backoff then ends the one call that failed
// (a zero backoff period would make it retry a dead helper until the timeout) and does
// not refuse the next probe.
bool RunCompile(const std::string& folder, const std::vector<std::string>& command,
                const std::vector<std::string>& distcc,
                std::uint32_t timeoutMs = CompileTimeoutMs) {
    std::error_code ignored;
    std::filesystem::remove_all(folder + "/distcc", ignored);
    std::string error;
    if (!platform::EnsurePrivateDirectory(folder + "/distcc", &error)) {
        core::Log().Warning("Compiler probe cannot start\r\n" + error);
        return false;
    }
    platform::TSpawnOptions options;
    options.WorkingDir = folder;
    options.Job = true;
    // distcc's settings come in as arguments, so the agent's own environment stays as it is.
    options.Arguments = {"/bin/sh",
                         "-c",
                         "DISTCC_HOSTS=\"$1\" DISTCC_DIR=\"$2\" DISTCC_FALLBACK=0 "
                         "DISTCC_IO_TIMEOUT=\"$3\"; export DISTCC_HOSTS "
                         "DISTCC_DIR DISTCC_FALLBACK DISTCC_IO_TIMEOUT; "
                         "shift 3; exec \"$@\" >/dev/null 2>err",
                         "sh",
                         distcc.empty() ? "" : distcc[0],
                         folder + "/distcc",
                         std::to_string(std::max<std::uint32_t>(1, timeoutMs / 2000))};
    options.Arguments.insert(options.Arguments.end(), command.begin(), command.end());
    try {
        auto child = platform::TChildProcess::Spawn(options);
        if (!child->WaitForExit(timeoutMs)) {
            child->KillGroup();
            child->WaitForExit(5000);
        }
        return child->ExitCode() == 0;
    } catch (const std::exception& e) {
        core::Log().Warning("Compiler probe cannot start\r\n" + std::string(e.what()));
        return false;
    }
}

std::string FirstLine(const std::string& file) {
    std::string text;
    platform::ReadWholeFile(file, text, 4096);
    return text.substr(0, text.find('\n'));
}

// A statistic of distccd's page; none when absent.
std::optional<std::int64_t> Statistic(const std::string& page, const std::string& name) {
    std::istringstream lines(page);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.starts_with(name + " ")) {
            try {
                return std::stoll(line.substr(name.size() + 1));
            } catch (const std::exception&) {
                return std::nullopt;
            }
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> CompilerIdentityOf(std::string_view objectBytes) {
    const std::size_t at = objectBytes.find(IdentityMarker);
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    const std::size_t start = at + IdentityMarker.size();
    const std::size_t end = objectBytes.find('\0', start);
    if (end == std::string_view::npos) {
        return std::nullopt;
    }
    return std::string(objectBytes.substr(start, end - start));
}

std::string_view CompilerProbeSource() {
    return ProbeSource;
}

THelperProber::THelperProber(const THelperSettings& settings, std::string statePath)
    : settings(settings), statePath(std::move(statePath)) {
    for (const build::THelperHost& host : build::ParseHelperHosts(settings.Helpers)) {
        build::THelperStatus status;
        status.Host = host;
        state.Helpers.push_back(std::move(status));
    }
    std::istringstream words(settings.Compilers);
    for (std::string word; words >> word;) {
        compilers.push_back(word);
    }
    state.AgentPid = platform::CurrentProcessId();
    workFolder = platform::TempFolder() + "morvek-probe-" + std::to_string(state.AgentPid);
    std::string error;
    if (!platform::EnsurePrivateDirectory(workFolder, &error)) {
        core::Raise(core::EGeneralError("Helper probes: " + error));
    }
    { std::ofstream(workFolder + "/probe.c") << ProbeSource; }
    {
        const std::lock_guard lock(mutex);
        Publish();
    }
    for (std::size_t i = 0; i < state.Helpers.size(); ++i) {
        threads.emplace_back([this, i] { Probe(i); });
    }
}

THelperProber::~THelperProber() {
    {
        const std::lock_guard lock(mutex);
        stopping = true;
    }
    wake.notify_all();
    for (std::thread& thread : threads) {
        thread.join();
    }
    std::error_code ec;
    std::filesystem::remove_all(workFolder, ec);
}

void THelperProber::Publish() {
    state.WrittenAt = build::WallClockMs();
    try {
        build::WriteHelperState(statePath, state);
    } catch (const std::exception& e) {
        core::Log().Warning("Helper state not written\r\n" + std::string(e.what()));
    }
}

std::optional<std::string> THelperProber::LocalIdentity(const std::string& compiler) {
    // One local compile per compiler, however many helper threads ask at once.
    const std::lock_guard local(localMutex);
    {
        const std::lock_guard lock(mutex);
        if (const auto it = localIdentities.find(compiler); it != localIdentities.end()) {
            return it->second;
        }
    }
    std::optional<std::string> identity;
    const std::string folder = workFolder + "/local-" + compiler;
    std::string error;
    std::string object;
    if (!platform::FindProgram(compiler, platform::GetEnvVar("PATH").value_or("/usr/bin:/bin"))
             .empty() &&
        platform::EnsurePrivateDirectory(folder, &error) &&
        RunCompile(folder, {compiler, "-c", "../probe.c", "-o", "probe.o"}, {}) &&
        platform::ReadWholeFile(folder + "/probe.o", object, MaxObjectBytes) ==
            platform::TFileReadResult::Ok) {
        identity = CompilerIdentityOf(object);
    }
    const std::lock_guard lock(mutex);
    localIdentities[compiler] = identity;
    return identity;
}

void THelperProber::ProbeCompilers(build::THelperStatus& status) {
    const std::string folder = workFolder + "/" + (status.Host.Ssh ? "ssh-" : "tcp-") +
                               status.Host.Host + "-" + std::to_string(status.Host.Port);
    std::string error;
    if (!platform::EnsurePrivateDirectory(folder, &error)) {
        core::Log().Warning("Helper probes: " + error);
        return;
    }
    status.Compilers.clear();
    const std::string hostText = build::DistccHostText(status.Host, 1);
    for (const std::string& compiler : compilers) {
        const std::optional<std::string> local = LocalIdentity(compiler);
        if (!local) {
            continue; // not on this machine: its tasks never leave it
        }
        std::string object;
        std::filesystem::remove(folder + "/probe.o");
        std::error_code ec;
        std::filesystem::copy_file(workFolder + "/probe.c", folder + "/probe.c",
                                   std::filesystem::copy_options::overwrite_existing, ec);
        std::string verdict;
        if (!RunCompile(folder, {"distcc", compiler, "-c", "probe.c", "-o", "probe.o"}, {hostText},
                        status.Host.Ssh ? SshCompileTimeoutMs : CompileTimeoutMs)) {
            verdict = "the probe compile failed: " + FirstLine(folder + "/err");
        } else if (platform::ReadWholeFile(folder + "/probe.o", object, MaxObjectBytes) !=
                   platform::TFileReadResult::Ok) {
            verdict = "the probe compile left no object";
        } else if (const std::optional<std::string> remote = CompilerIdentityOf(object);
                   remote != local) {
            verdict = "its compiler is \"" + remote.value_or("unknown") + "\", this machine's \"" +
                      *local + "\"";
        }
        if (!verdict.empty()) {
            core::Log().Warning("Helper " + build::HelperName(status.Host) +
                                " is not employed for " + compiler + ": " + verdict);
        }
        status.Compilers[compiler] = verdict;
    }
}

void THelperProber::Probe(std::size_t index) {
    std::unique_lock lock(mutex);
    const build::THelperHost host = state.Helpers[index].Host;
    std::int64_t compilersCheckedAt = 0;
    bool wasReachable = false;
    while (!stopping) {
        build::THelperStatus status = state.Helpers[index];
        lock.unlock();
        std::string error;
        status.Reachable =
            platform::TcpProbe(host.Host, host.Ssh ? SshPort : host.Port, ConnectTimeoutMs, error);
        status.Message = status.Reachable ? std::string() : error;
        status.Slots = host.Limit > 0 ? host.Limit : build::DistccDefaultLimit;
        status.TasksRun = -1;
        if (status.Reachable && !host.Ssh) {
            // distccd's statistics page (its header lines end in a bare LF, which
            // HTTP client libraries refuse): read as it comes.
            std::string statsError;
            if (const auto page = platform::TcpExchange(
                    host.Host, static_cast<std::uint16_t>(host.Port + 1), "GET / HTTP/1.0\r\n\r\n",
                    ConnectTimeoutMs, MaxStatsBytes, statsError);
                page && page->find("<distccstats>") != std::string::npos) {
                if (const auto kids = Statistic(*page, "dcc_max_kids");
                    kids && *kids > 0 && host.Limit == 0) {
                    status.Slots =
                        static_cast<int>(std::min<std::int64_t>(*kids, build::MaxHelperLimit));
                }
                const auto ok = Statistic(*page, "dcc_compile_ok");
                const auto failed = Statistic(*page, "dcc_compile_error");
                if (ok && failed) {
                    status.TasksRun = *ok + *failed;
                }
            }
        }
        const std::int64_t now = build::WallClockMs();
        if (status.Reachable && (!wasReachable || now - compilersCheckedAt >= CompilerRecheckMs)) {
            ProbeCompilers(status);
            compilersCheckedAt = now;
        }
        if (status.Reachable != wasReachable || !status.Probed) {
            core::Log().Line("Helper " + build::HelperName(host) +
                             (status.Reachable ? " is reachable" : " is not reachable: " + error));
        }
        wasReachable = status.Reachable;
        status.Probed = true;
        status.ProbedAt = build::WallClockMs();
        lock.lock();
        state.Helpers[index] = status;
        Publish();
        wake.wait_for(lock, std::chrono::seconds(std::max<std::int64_t>(1, settings.ProbeSeconds)),
                      [this] { return stopping; });
    }
}

} // namespace agent
