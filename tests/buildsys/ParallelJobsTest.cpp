#include "buildsys/ParallelJobs.h"

#include <gtest/gtest.h>

namespace {

using buildsys::OfferParallelism;

TEST(ParallelJobs, RaisesTheJobCountOfMakeAndNinja) {
    struct Case {
        const char* command;
        const char* expected;
    };
    const Case cases[] = {
        {"make", "make -j4"},
        {"make all", "make -j4 all"},
        {"gmake -C src", "gmake -j4 -C src"},
        {"/usr/bin/make -k", "/usr/bin/make -j4 -k"},
        {"ninja -C build", "ninja -j4 -C build"},
        {"make -j2 all", "make -j4 all"},
        {"make -j 2 all", "make -j4 all"},
        {"make --jobs=1", "make -j4"},
        {"make --jobs 3 x", "make -j4 x"},
        {"make -j8", "make -j8"},         // already more
        {"make -j4 -j2", "make -j4 -j4"}, // the last one counts for make
        {"make -j all", "make -j all"},   // unlimited stays
        {"ninja -j0", "ninja -j0"},       // unlimited for ninja
        {"ninja -j 1 -C b", "ninja -j4 -C b"},
        {"make && make install", "make -j4 && make install"},
        {"make -C 'a dir' -j2", "make -C 'a dir' -j4"},
        {"  make", "  make -j4"},
        {"make -- -j2", "make -j4 -- -j2"},
    };
    for (const Case& c : cases) {
        const auto result = OfferParallelism(c.command, std::nullopt, 4);
        EXPECT_EQ(result.Command, c.expected) << c.command;
        EXPECT_FALSE(result.MakeFlags) << c.command;
    }
}

TEST(ParallelJobs, OtherCommandsCarryTheJobCountInMakeflags) {
    struct Case {
        const char* command;
        std::optional<std::string> makeFlags;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"cd src && make", std::nullopt, "-j3"},
        {"./build.sh", std::string(""), "-j3"},
        {"sh -c make", std::string("-k"), "-k -j3"},
        {"makefoo", std::nullopt, "-j3"},
        {"make 'unbalanced", std::nullopt, "-j3"}, // not understood: left to the shell
        {"cd x && make", std::string("-j8"), std::nullopt},
        {"cd x && make", std::string("kj2"), std::nullopt}, // make's own flag-letter form
        {"cd x && make", std::string("--jobs=2"), std::nullopt},
        {"cd x && make", std::string("CFLAGS=-jx"), "CFLAGS=-jx -j3"},
    };
    for (const Case& c : cases) {
        const auto result = OfferParallelism(c.command, c.makeFlags, 3);
        EXPECT_EQ(result.Command, c.command);
        EXPECT_EQ(result.MakeFlags, c.expected) << c.command;
    }
}

} // namespace
