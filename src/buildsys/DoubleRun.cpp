#include "buildsys/DoubleRun.h"

#include "platform/CrashStack.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/Random.h"

#include <filesystem>
#include <system_error>

namespace buildsys {

namespace {

constexpr int ReserveTries = 8;

std::string RandomHex() {
    unsigned char bytes[8] = {};
    if (!platform::RandomBytes(bytes, sizeof bytes)) {
        return {};
    }
    static constexpr char Digits[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char b : bytes) {
        hex.push_back(Digits[b >> 4]);
        hex.push_back(Digits[b & 15]);
    }
    return hex;
}

void RemoveQuietly(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
}

} // namespace

bool TDoubleRun::MayReplace(const std::string& cwd, const std::string& real) {
    const std::filesystem::path name(real);
    const std::filesystem::path path = name.is_absolute() ? name : cwd / name;
    // A rename replaces what is there: only a plain file (or none), never a device such as
    // /dev/null, a pipe, or a link whose target the tool would have written through.
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::symlink_status(path, error);
    return status.type() == std::filesystem::file_type::not_found ||
           status.type() == std::filesystem::file_type::regular;
}

std::string TDoubleRun::ReserveBeside(const std::string& cwd, const std::string& real) {
    const std::filesystem::path name(real);
    const std::filesystem::path absolute = name.is_absolute() ? name : cwd / name;
    if (!MayReplace(cwd, real)) {
        return {};
    }
    for (int attempt = 0; attempt < ReserveTries; ++attempt) {
        const std::string hex = RandomHex();
        if (hex.empty()) {
            return {};
        }
        const std::string leaf = "." + name.filename().string() + ".double-" + hex;
        const std::string path = (absolute.parent_path() / leaf).string();
        if (platform::TFileWriter::Create(path, platform::TFileWriter::TMode::CreateNew)) {
            // The name is ours; the tool creates the file anew, with the mode it gives
            // the real one.
            RemoveQuietly(path);
            return name.is_absolute() ? path : (name.parent_path() / leaf).string();
        }
    }
    return {};
}

std::unique_ptr<TDoubleRun> TDoubleRun::Start(const std::string& tool, TDoubleCommand command,
                                              const std::string& cwd,
                                              const std::vector<std::string>& env) {
    std::unique_ptr<TDoubleRun> run(new TDoubleRun());
    run->cwd = cwd;
    run->command = std::move(command);
    platform::TSpawnOptions options;
    options.Arguments = run->command.Argv;
    options.Arguments[0] = tool;
    options.WorkingDir = cwd;
    std::string block;
    for (const std::string& entry : env) {
        block += entry;
        block.push_back('\0');
    }
    block.push_back('\0');
    options.EnvironmentBlock = block;
    options.Job = true;
    // It runs on idle processor time only: the build's own tasks (and the local part of
    // remote ones) come first.
    options.Priority = platform::TPriorityClass::Idle;
    try {
        std::unique_ptr<platform::TPipeEnd> outWrite;
        std::unique_ptr<platform::TPipeEnd> errWrite;
        platform::TPipeEnd::CreatePipe(run->outRead, outWrite);
        platform::TPipeEnd::CreatePipe(run->errRead, errWrite);
        options.StdOut = outWrite.get();
        options.StdErr = errWrite.get();
        run->child = platform::TChildProcess::Spawn(options);
    } catch (const std::exception&) {
        return nullptr; // the destructor removes the files
    }
    TDoubleRun& self = *run;
    run->outThread = platform::StartThread([&self] { self.Collect(1, *self.outRead); });
    run->errThread = platform::StartThread([&self] { self.Collect(2, *self.errRead); });
    return run;
}

TDoubleRun::~TDoubleRun() {
    Kill();
    if (!committed) {
        for (const auto& [temp, real] : command.Files) {
            RemoveQuietly(PathOf(temp));
        }
    }
}

std::string TDoubleRun::PathOf(const std::string& name) const {
    const std::filesystem::path path(name);
    return (path.is_absolute() ? path : cwd / path).string();
}

void TDoubleRun::Collect(int stream, platform::TPipeEnd& pipe) {
    char buffer[16384];
    for (;;) {
        const long got = pipe.Read(buffer, sizeof buffer);
        if (got <= 0) {
            return;
        }
        const std::lock_guard lock(mutex);
        output.emplace_back(stream, std::string(buffer, static_cast<std::size_t>(got)));
    }
}

std::optional<int> TDoubleRun::Ended(std::uint32_t waitMs) {
    if (status || !child || !child->WaitForExit(waitMs)) {
        return status;
    }
    // Its streams end with it: a process of its group that kept them open is killed
    // while the group's leader is not yet collected.
    child->KillGroup();
    status = child->ExitCode();
    if (status) {
        if (outThread.joinable()) {
            outThread.join();
        }
        if (errThread.joinable()) {
            errThread.join();
        }
    }
    return status;
}

std::vector<std::pair<int, std::string>> TDoubleRun::Output() {
    const std::lock_guard lock(mutex);
    return output;
}

bool TDoubleRun::Commit(std::string& error) {
    for (const auto& [temp, real] : command.Files) {
        std::error_code failed;
        std::filesystem::rename(PathOf(temp), PathOf(real), failed);
        if (failed) {
            error = "cannot rename \"" + PathOf(temp) + "\" to \"" + PathOf(real) +
                    "\": " + failed.message();
            return false;
        }
    }
    committed = true;
    return true;
}

int TDoubleRun::Kill() {
    if (child && !status) {
        child->KillGroup();
        child->WaitForExit(0xFFFFFFFFu);
        status = child->ExitCode();
    }
    if (outThread.joinable()) {
        outThread.join();
    }
    if (errThread.joinable()) {
        errThread.join();
    }
    return status.value_or(0);
}

} // namespace buildsys
