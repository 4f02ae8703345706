// /DUMPSOURCEFILES on projects of the oldest text format.
#include "ConsoleFixture.h"

namespace {

using SourceDump = testing_console::ConsoleTest;

// The dump reads a .dsp project's body only: its configuration lines are not
// read, so a configuration line the full load rejects does not stop the dump.
TEST_F(SourceDump, LegacyProjectsAreReadForTheirBodyOnly) {
    WriteFile("app.dsp", "# Microsoft Developer Studio Project File - Name=\"app\"\r\n"
                         "!MESSAGE \"app - Win32 Debug\" without its target type\r\n"
                         "CFG=app - Win32 Debug\r\n"
                         "# Begin Target\r\n"
                         "# Begin Source File\r\n"
                         "SOURCE=.\\src\\main.cpp\r\n"
                         "# End Source File\r\n"
                         "# End Target\r\n");
    const auto r = Run({"/nologo", "app.dsp", "/dumpsourcefiles=sources.txt"}, true);
    EXPECT_EQ(r.ExitCode, 0) << r.Out << r.Failure;
    EXPECT_EQ(r.Out, "Loading project...\r\n1 source filenames written to sources.txt\r\n");
    EXPECT_EQ(ReadFile(Path("sources.txt")), Path("src/main.cpp") + "\r\n");
}

} // namespace
