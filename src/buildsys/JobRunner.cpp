#include "buildsys/JobRunner.h"

#include "buildsys/BuildPlan.h"
#include "platform/Clock.h"
#include "platform/CrashStack.h"
#include "platform/Process.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace buildsys {

namespace {
constexpr std::size_t ReadSize = 65536;

} // namespace

struct TJobRunner::TShared {
    std::mutex Mutex;
    std::condition_variable Changed;
    std::vector<TJobEvent> Events;
    std::atomic<bool> ReaderDone[2] = {false, false};

    void Push(TJobEvent event) {
        {
            const std::lock_guard lock(Mutex);
            Events.push_back(std::move(event));
        }
        Changed.notify_one();
    }
};

TJobRunner::TJobRunner(std::vector<std::string> arguments, std::string workingDir,
                       std::string environment, std::string_view outputVariable)
    : shared(std::make_shared<TShared>()) {
    std::shared_ptr<platform::TPipeEnd> readEnds[2];
    std::unique_ptr<platform::TPipeEnd> writeEnds[2];
    for (int i = 0; i < 2; ++i) {
        std::unique_ptr<platform::TPipeEnd> readEnd;
        platform::TPipeEnd::CreatePipe(readEnd, writeEnds[i]);
        readEnds[i] = std::move(readEnd);
    }
    if (!outputVariable.empty()) {
        const std::string pipes =
            platform::IdentitiesText({readEnds[0]->Identity(), readEnds[1]->Identity()});
        environment = MergeEnvironment(environment, {std::string(outputVariable) + "=" + pipes});
    }
    platform::TSpawnOptions options;
    options.Arguments = std::move(arguments);
    options.WorkingDir = std::move(workingDir);
    options.EnvironmentBlock = std::move(environment);
    options.Job = true;
    options.StdOut = writeEnds[0].get();
    options.StdErr = writeEnds[1].get();
    child = platform::TChildProcess::Spawn(options);
    // Only the job holds the write ends now, so the reads end when the job does.
    writeEnds[0].reset();
    writeEnds[1].reset();

    for (int i = 0; i < 2; ++i) {
        const TOutputStream stream = i == 0 ? TOutputStream::Out : TOutputStream::Err;
        // A reader owns what it uses: one that is given up may outlive this object.
        readers[i] = platform::StartThread([state = shared, pipe = readEnds[i], stream, i] {
            std::string buffer(ReadSize, '\0');
            for (;;) {
                const long n = pipe->Read(buffer.data(), buffer.size());
                if (n <= 0) {
                    break;
                }
                state->Push({TJobEvent::TKind::Output, stream,
                             buffer.substr(0, static_cast<std::size_t>(n))});
            }
            state->ReaderDone[i] = true;
            state->Push({TJobEvent::TKind::Closed, stream, {}});
        });
    }
    waiter = platform::StartThread([this] {
        if (child->WaitForExit(0xFFFFFFFFu)) {
            shared->Push({TJobEvent::TKind::Exited, TOutputStream::Out, {}});
        }
    });
}

TJobRunner::~TJobRunner() {
    child->KillGroup();
    waiter.join();
    // A process that left the group may still hold a pipe: its reader is given up.
    for (int i = 0; i < 2; ++i) {
        if (shared->ReaderDone[i]) {
            readers[i].join();
        } else {
            readers[i].detach();
        }
    }
}

std::vector<TJobEvent> TJobRunner::Wait(std::uint64_t deadline) {
    std::unique_lock lock(shared->Mutex);
    const std::uint64_t now = platform::GetTickCount64();
    if (shared->Events.empty() && deadline > now) {
        shared->Changed.wait_for(lock, std::chrono::milliseconds(deadline - now),
                                 [&] { return !shared->Events.empty(); });
    }
    std::vector<TJobEvent> events;
    events.swap(shared->Events);
    return events;
}

void TJobRunner::Terminate() {
    child->TerminateGroup();
}

void TJobRunner::Kill() {
    child->KillGroup();
}

std::optional<int> TJobRunner::ExitCode() {
    return child->ExitCode();
}

} // namespace buildsys
