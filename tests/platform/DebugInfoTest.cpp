#include "platform/DebugInfo.h"
#include "platform/CrashStack.h"
#include "support/DeepRecursion.h"

#include "TestProcess.h"

#include <csignal>
#include <fstream>
#include <sstream>

using namespace testing_support;

namespace {

std::string markerFile;

void WriteMarker(const platform::TCrashInfo& crash) {
    std::ofstream(markerFile) << "signal " << crash.Signal << "\n" << crash.Trace;
}

const bool childActions = RegisterChildActions({
    {"overflow",
     [](const std::vector<std::string>& a) {
         markerFile = a[0];
         platform::InstallCrashHandler(WriteMarker);
         return testing_support::Deeper(1);
     }},
});

// A fault from an exhausted stack still reaches the crash handler.
TEST(CrashHandler, StackOverflowIsReported) {
    TTempDir dir;
    const std::string marker = dir.Path() + "/crash.txt";
    const pid_t child = SpawnChild("overflow", {marker});
    EXPECT_EQ(WaitChild(child), 128 + SIGSEGV);
    std::ifstream in(marker);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_TRUE(text.str().starts_with("signal " + std::to_string(SIGSEGV) + "\n")) << text.str();
}

// (The address sanitizer gives every thread an alternate stack of its own.)
#ifndef __SANITIZE_ADDRESS__
bool HasCrashStack() {
    stack_t current{};
    return ::sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0;
}

// A started thread has the handler's stack while it runs; the stack goes with it.
TEST(CrashStack, LastsAsLongAsItsGuard) {
    std::thread([] {
        EXPECT_FALSE(HasCrashStack()) << "a new thread starts without one";
        {
            const platform::TCrashStack stack;
            EXPECT_TRUE(HasCrashStack());
        }
        EXPECT_FALSE(HasCrashStack());
    }).join();
    platform::StartThread([] { EXPECT_TRUE(HasCrashStack()); }).join();
}
#endif

} // namespace
