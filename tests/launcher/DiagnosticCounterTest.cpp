#include "launcher/DiagnosticCounter.h"

#include <gtest/gtest.h>

using launcher::TDiagnosticCounter;

TEST(DiagnosticCounter, CountsLinesWhateverTheChunksAre) {
    const std::string err = "x.c:1:2: warning: unused variable 'a'\r\n"
                            "x.c:3:4: error: 'y' undeclared\n"
                            "  3 | return y;\n"
                            "x.c:9: fatal error: z.h: No such file or directory\n"
                            "collect2: error: ld returned 1 exit status\n"
                            "x.c:4:1: note: in expansion of macro\n"
                            "x.c:7:7: warning: last line without end";
    const std::string out = "summary: 0 errors, 0 warnings\nx.c:1:1: warning: on stdout\n";
    for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, err.size()}) {
        TDiagnosticCounter counter;
        // Interleaved chunks of both streams keep each stream's lines apart.
        for (std::size_t at = 0; at < std::max(err.size(), out.size()); at += chunk) {
            if (at < err.size()) {
                counter.Add(2, std::string_view(err).substr(at, chunk));
            }
            if (at < out.size()) {
                counter.Add(1, std::string_view(out).substr(at, chunk));
            }
        }
        counter.Finish();
        EXPECT_EQ(counter.Errors(), 3) << chunk;
        EXPECT_EQ(counter.Warnings(), 3) << chunk;
    }
}

TEST(DiagnosticCounter, OverlongLineIsJudgedOnceByItsStart) {
    TDiagnosticCounter counter;
    const std::string line = "x.c:1:1: error: " + std::string(3 * TDiagnosticCounter::MaxLine, 'e');
    counter.Add(2, line);
    counter.Add(2, "\nx.c:2:1: warning: w\n");
    counter.Finish();
    EXPECT_EQ(counter.Errors(), 1);
    EXPECT_EQ(counter.Warnings(), 1);
}
