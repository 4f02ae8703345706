#include "core/Diagnostics.h"

#include <gtest/gtest.h>

namespace {

using core::ClassifyLine;
using core::TDiagnostic;

TEST(Diagnostics, RecognisesCompilerAndLinkerLines) {
    struct Case {
        const char* line;
        TDiagnostic kind;
    };
    const Case cases[] = {
        // GCC and Clang.
        {"x.c:1:1: error: boom", TDiagnostic::Error},
        {"src/a b/main.cpp:12: error: expected ';'", TDiagnostic::Error},
        {"main.c:3:10: fatal error: foo.h: No such file or directory", TDiagnostic::Error},
        {"gcc: fatal error: no input files", TDiagnostic::Error},
        {"clang: error: linker command failed with exit code 1", TDiagnostic::Error},
        {"main.c:7:5: warning: unused variable 'x' [-Wunused-variable]", TDiagnostic::Warning},
        {"main.c:7:5: note: declared here", TDiagnostic::None},
        {"In file included from main.c:1:", TDiagnostic::None},
        // Linkers.
        {"ld.lld: error: undefined symbol: foo", TDiagnostic::Error},
        {"/usr/bin/ld: main.o: in function `main':", TDiagnostic::None},
        {"main.c:(.text+0x5): undefined reference to `foo'", TDiagnostic::Error},
        {"collect2: error: ld returned 1 exit status", TDiagnostic::Error},
        // MSVC.
        {"main.cpp(12): error C2065: 'x': undeclared identifier", TDiagnostic::Error},
        {"main.cpp(12,5): warning C4996: 'strcpy': This function may be unsafe.",
         TDiagnostic::Warning},
        {"main.obj : error LNK2019: unresolved external symbol", TDiagnostic::Error},
        {"LINK : fatal error LNK1104: cannot open file 'x.lib'", TDiagnostic::Error},
        {"error C1083: Cannot open include file", TDiagnostic::Error},
        // Neither.
        {"", TDiagnostic::None},
        {"Build succeeded: 0 error(s), 0 warning(s)", TDiagnostic::None},
        {"error: no file prefix", TDiagnostic::None},
        {"make: *** [Makefile:3: all] Error 1", TDiagnostic::None},
        {"terror: x", TDiagnostic::None},
        {"foo: errors: 3", TDiagnostic::None},
        {"main.cpp(12): error C2065 missing colon", TDiagnostic::None},
        {"an error LNK: without digits", TDiagnostic::None},
        // The earliest marker decides.
        {"a.c:1: warning: text mentions b.c:2: error: x", TDiagnostic::Warning},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ClassifyLine(c.line), c.kind) << c.line;
    }
}

} // namespace
