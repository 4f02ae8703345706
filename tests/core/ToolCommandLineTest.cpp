#include "core/ToolCommandLine.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace core;

namespace {

std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

const char* Name(TToolCallKind kind) {
    static const char* const Names[] = {"Probe",   "Compile",  "Preprocess", "Link",
                                        "Archive", "Assemble", "Other"};
    return Names[static_cast<int>(kind)];
}

struct TCase {
    const char* tool;
    const char* line; // argv, argv[0] included, split at spaces
    TToolCallKind kind;
    const char* source;
    const char* output;
    const char* caption;
};

} // namespace

TEST(ToolCommandLine, ClassifiesCalls) {
    using K = TToolCallKind;
    const TCase cases[] = {
        // Probes of a compiler driver: no task.
        {"/usr/bin/gcc", "gcc --version", K::Probe, "", "", ""},
        {"/usr/bin/gcc", "gcc -v", K::Probe, "", "", ""},
        {"/usr/bin/gcc", "gcc -dumpmachine", K::Probe, "", "", ""},
        {"/usr/bin/gcc", "gcc -dumpversion", K::Probe, "", "", ""},
        {"/usr/bin/gcc", "gcc -dumpfullversion", K::Probe, "", "", ""},
        {"/usr/bin/gcc", "gcc -print-prog-name=ld", K::Probe, "", "", ""},
        {"/usr/bin/gcc", "gcc -print-search-dirs", K::Probe, "", "", ""},
        {"/usr/bin/clang", "clang --print-resource-dir", K::Probe, "", "", ""},
        {"/usr/bin/gcc", "gcc -E conftest.c", K::Probe, "", "", ""},
        {"/usr/bin/gcc", "gcc -E -o - conftest.c", K::Probe, "", "", ""},
        {"/usr/bin/gcc", "gcc -E -dM -x c /dev/null", K::Probe, "", "", ""},
        {"/usr/bin/gcc", "gcc -E -", K::Probe, "", "", ""},
        {"/usr/bin/gcc", "gcc -M x.c", K::Probe, "", "", ""},
        {"/usr/bin/gcc", "gcc -MM -I inc x.c", K::Probe, "", "", ""},
        {"/usr/bin/gcc", "gcc", K::Probe, "", "", ""},
        {"/usr/bin/gcc", "gcc -O2 -Wall", K::Probe, "", "", ""},
        {"/usr/bin/gcc", "gcc -c -o x.o -I include", K::Probe, "", "", ""},
        {"/usr/bin/gcc", "gcc --help", K::Probe, "", "", ""},
        {"/usr/bin/gcc", "gcc -### -c x.c", K::Probe, "", "", ""},
        {"/usr/bin/g++", "g++ -v -x c++ -E /dev/null", K::Probe, "", "", ""},
        // Compiles.
        {"/usr/bin/gcc", "gcc -c x.c", K::Compile, "x.c", "x.o", "x.c"},
        {"/usr/bin/gcc", "gcc -c src/dir/x.c", K::Compile, "src/dir/x.c", "x.o", "x.c"},
        {"/usr/bin/gcc", "gcc -c x.c -o obj/y.o", K::Compile, "x.c", "obj/y.o", "x.c"},
        {"/usr/bin/gcc", "gcc -c x.c -oobj/y.o", K::Compile, "x.c", "obj/y.o", "x.c"},
        {"/usr/bin/gcc", "gcc -S x.c", K::Compile, "x.c", "x.s", "x.c"},
        {"/usr/bin/c++", "c++ -DX -I inc -include pre.h -o a.o -c /s/a.cpp", K::Compile, "/s/a.cpp",
         "a.o", "a.cpp"},
        {"/usr/bin/c++", "c++ -MD -MT a.o -MF a.o.d -o a.o -c a.cc", K::Compile, "a.cc", "a.o",
         "a.cc"},
        {"/usr/bin/gcc", "gcc -x c -c conftest -o conftest.o", K::Compile, "conftest", "conftest.o",
         "conftest"},
        {"/usr/bin/gcc", "gcc -c -x c - -o stdin.o", K::Compile, "-", "stdin.o", "stdin.o"},
        {"/usr/bin/gcc", "gcc -c lib.o x.c", K::Compile, "x.c", "x.o", "x.c"},
        {"/usr/bin/clang++", "clang++ -target x86_64-linux-gnu -Xclang -v -c m.cxx", K::Compile,
         "m.cxx", "m.o", "m.cxx"},
        {"/usr/bin/gcc", "gcc -fsyntax-only -c x.c", K::Compile, "x.c", "x.o", "x.c"},
        {"/usr/bin/gcc", "gcc -c @args.rsp", K::Compile, "", "", ""},
        // Preprocess into a file, dependency output into a file.
        {"/usr/bin/gcc", "gcc -E x.c -o x.i", K::Preprocess, "x.c", "x.i", "x.c"},
        {"/usr/bin/gcc", "gcc -M -MF x.d x.c", K::Preprocess, "x.c", "", "x.c"},
        // Driver calls that link.
        {"/usr/bin/gcc", "gcc x.o y.o -o prog -lm", K::Link, "", "prog", "prog"},
        {"/usr/bin/gcc", "gcc main.c -o bin/app", K::Link, "main.c", "bin/app", "app"},
        {"/usr/bin/gcc", "gcc conftest.c", K::Link, "conftest.c", "a.out", "a.out"},
        {"/usr/bin/g++", "g++ -shared -Wl,-soname,libx.so.1 -o libx.so a.o", K::Link, "", "libx.so",
         "libx.so"},
        {"/usr/bin/c++", "c++ @link.rsp -o app", K::Link, "", "app", "app"},
        // Versioned and triplet names are drivers too.
        {"/usr/bin/x86_64-linux-gnu-gcc-12", "x86_64-linux-gnu-gcc-12 -c a.c", K::Compile, "a.c",
         "a.o", "a.c"},
        {"/usr/lib/llvm-15/bin/clang++-15", "clang++-15 -c a.cc", K::Compile, "a.cc", "a.o",
         "a.cc"},
        // Linkers.
        {"/usr/bin/ld", "ld --version", K::Probe, "", "", ""},
        {"/usr/bin/ld", "ld -v", K::Probe, "", "", ""},
        {"/usr/bin/ld", "ld", K::Probe, "", "", ""},
        {"/usr/bin/ld.bfd", "ld.bfd -o prog crt1.o a.o -lc", K::Link, "", "prog", "prog"},
        {"/usr/bin/ld.gold", "ld.gold --output=out/lib.so -shared a.o", K::Link, "", "out/lib.so",
         "lib.so"},
        {"/usr/bin/ld.lld", "ld.lld -r a.o b.o -o ab.o", K::Link, "", "ab.o", "ab.o"},
        {"/usr/bin/ld", "ld -T script.ld -Map out.map a.o", K::Link, "", "a.out", "a.out"},
        {"/usr/bin/ld", "ld -o prog -lc", K::Link, "", "prog", "prog"},
        // Archivers.
        {"/usr/bin/ar", "ar rcs libx.a a.o b.o", K::Archive, "", "libx.a", "libx.a"},
        {"/usr/bin/ar", "ar -rcs lib/libx.a a.o", K::Archive, "", "lib/libx.a", "libx.a"},
        {"/usr/bin/ar", "ar qc libx.a a.o", K::Archive, "", "libx.a", "libx.a"},
        {"/usr/bin/ar", "ar rb b.o libx.a a.o", K::Archive, "", "libx.a", "libx.a"},
        {"/usr/bin/ar", "ar --plugin lto.so rcs libx.a a.o", K::Archive, "", "libx.a", "libx.a"},
        {"/usr/bin/x86_64-linux-gnu-gcc-ar-12", "gcc-ar-12 cr libx.a a.o", K::Archive, "", "libx.a",
         "libx.a"},
        {"/usr/bin/llvm-ar-15", "llvm-ar-15 crs libx.a a.o", K::Archive, "", "libx.a", "libx.a"},
        {"/usr/bin/ar", "ar t libx.a", K::Probe, "", "", ""},
        {"/usr/bin/ar", "ar x libx.a", K::Probe, "", "", ""},
        {"/usr/bin/ar", "ar --version", K::Probe, "", "", ""},
        {"/usr/bin/ar", "ar V", K::Probe, "", "", ""},
        {"/usr/bin/ar", "ar", K::Probe, "", "", ""},
        {"/usr/bin/ranlib", "ranlib libx.a", K::Archive, "", "libx.a", "libx.a"},
        {"/usr/bin/ranlib", "ranlib --version", K::Probe, "", "", ""},
        {"/usr/bin/ranlib", "ranlib", K::Probe, "", "", ""},
        // Assemblers.
        {"/usr/bin/as", "as --version", K::Probe, "", "", ""},
        {"/usr/bin/as", "as", K::Probe, "", "", ""},
        {"/usr/bin/as", "as -o x.o x.s", K::Assemble, "x.s", "x.o", "x.s"},
        {"/usr/bin/as", "as --64 -I inc sub/x.s", K::Assemble, "sub/x.s", "a.out", "x.s"},
        {"/usr/bin/as", "as -o x.o", K::Assemble, "", "x.o", "x.o"},
        // A profiled tool of no known family.
        {"/opt/bin/protoc", "protoc --cpp_out=. a.proto", K::Other, "", "", "protoc"},
    };
    for (const auto& c : cases) {
        const TToolCall call = ClassifyToolCall(c.tool, Words(c.line));
        SCOPED_TRACE(c.line);
        EXPECT_STREQ(Name(call.kind), Name(c.kind));
        EXPECT_EQ(call.source, c.source);
        EXPECT_EQ(call.output, c.output);
        EXPECT_EQ(call.caption, c.caption);
    }
}

TEST(ToolCommandLine, FamiliesByName) {
    struct TNameCase {
        const char* path;
        TToolFamily family;
    };
    const TNameCase cases[] = {
        {"cc", TToolFamily::Driver},
        {"/usr/bin/c++", TToolFamily::Driver},
        {"x86_64-linux-gnu-g++-12", TToolFamily::Driver},
        {"clang-15", TToolFamily::Driver},
        {"/usr/lib/llvm-15/bin/clang", TToolFamily::Driver},
        {"ld.gold", TToolFamily::Linker},
        {"x86_64-linux-gnu-ld.bfd", TToolFamily::Linker},
        {"ranlib", TToolFamily::Archiver},
        {"gcc-ar", TToolFamily::Archiver},
        {"x86_64-linux-gnu-as", TToolFamily::Assembler},
        {"gcc-nm", TToolFamily::Unknown},
        {"clang-format", TToolFamily::Unknown},
        {"", TToolFamily::Unknown},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ToolFamilyOf(c.path), c.family) << c.path;
    }
}

TEST(ToolCommandLine, OptionWithoutItsValueAtTheEndIsNoCrash) {
    for (const char* line : {"gcc -c x.c -o", "gcc -x", "ld a.o -o", "ar --plugin", "as -o"}) {
        const auto words = Words(line);
        EXPECT_NO_THROW(ClassifyToolCall(words[0], words)) << line;
    }
    EXPECT_NO_THROW(ClassifyToolCall("gcc", {}));
}

TEST(ToolCommandLine, TaskKinds) {
    EXPECT_EQ(TaskKindOf(TToolCallKind::Compile), TTaskKind::Compile);
    EXPECT_EQ(TaskKindOf(TToolCallKind::Link), TTaskKind::Link);
    EXPECT_EQ(TaskKindOf(TToolCallKind::Archive), TTaskKind::Archive);
    EXPECT_EQ(TaskKindOf(TToolCallKind::Assemble), TTaskKind::Assemble);
    EXPECT_EQ(TaskKindOf(TToolCallKind::Preprocess), TTaskKind::Other);
}
