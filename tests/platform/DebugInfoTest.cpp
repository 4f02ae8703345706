#include "platform/DebugInfo.h"
#include "support/DeepRecursion.h"

#include "TestProcess.h"

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

} // namespace
