#include "buildsys/DependencyList.h"

#include <gtest/gtest.h>

namespace {

TEST(DependencyList, OnlyAListOfEveryHeaderIsComplete) {
    const struct {
        std::vector<std::string> argv;
        bool complete;
    } cases[] = {
        {{"gcc", "-c", "a.c"}, false},
        {{"gcc", "-MD", "-MF", "a.d", "-c", "a.c"}, true},
        {{"gcc", "-Wp,-MD,a.d", "-c", "a.c"}, true},
        // -MMD leaves system headers out: complete only where there are none.
        {{"gcc", "-MMD", "-c", "a.c"}, false},
        {{"gcc", "-Wp,-MMD,.a.o.d", "-c", "a.c"}, false},
        {{"gcc", "-Wp,-MMD,.a.o.d", "-nostdinc", "-I", "include", "-c", "a.c"}, true},
        {{"gcc", "-MMD", "-nostdinc", "-isystem", "/opt/inc", "-c", "a.c"}, false},
        {{"gcc", "-MMD", "-nostdinc", "-idirafter/opt/inc", "-c", "a.c"}, false},
        {{"gcc", "-MMD", "-nostdinc", "--sysroot=/opt/root", "-c", "a.c"}, false},
        {{"gcc", "-MD", "-MMD", "-c", "a.c"}, false},
        // Options in a file are not seen.
        {{"gcc", "-MD", "@more.rsp", "-c", "a.c"}, false},
        // The program's own name is no option.
        {{"-MD", "-c", "a.c"}, false},
    };
    for (const auto& c : cases) {
        std::string line;
        for (const std::string& word : c.argv) {
            line += word + " ";
        }
        SCOPED_TRACE(line);
        EXPECT_EQ(buildsys::ListsEveryHeader(c.argv), c.complete);
    }
}

} // namespace
