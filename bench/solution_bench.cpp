// Parse time of generated solutions (projects with four configurations each, no
// project files on disk).
#include "vs/WorkspaceParserVC7.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

namespace {

std::string GenerateSolution(int projects) {
    const char* configs[] = {"Debug|Win32", "Debug|x64", "Release|Win32", "Release|x64"};
    std::string text = "Microsoft Visual Studio Solution File, Format Version 12.00\r\n"
                       "# Visual Studio Version 17\r\n";
    auto guid = [](int i) {
        char buffer[40];
        std::snprintf(buffer, sizeof buffer, "{%08X-0000-4000-8000-%012X}", i, i);
        return std::string(buffer);
    };
    for (int i = 0; i < projects; ++i) {
        const std::string name = "Project" + std::to_string(i);
        text += "Project(\"{8BC9CEB8-8B4A-11D0-8D11-00A0C91E6BC7}\") = \"" + name + "\", \"src\\" +
                name + "\\" + name + ".vcxproj\", \"" + guid(i) + "\"\r\nEndProject\r\n";
    }
    text += "Global\r\n\tGlobalSection(SolutionConfigurationPlatforms) = preSolution\r\n";
    for (const char* c : configs) {
        text += std::string("\t\t") + c + " = " + c + "\r\n";
    }
    text +=
        "\tEndGlobalSection\r\n\tGlobalSection(ProjectConfigurationPlatforms) = postSolution\r\n";
    for (int i = 0; i < projects; ++i) {
        for (const char* c : configs) {
            text += "\t\t" + guid(i) + "." + c + ".ActiveCfg = " + c + "\r\n";
            text += "\t\t" + guid(i) + "." + c + ".Build.0 = " + c + "\r\n";
        }
    }
    text += "\tEndGlobalSection\r\nEndGlobal\r\n";
    return text;
}

void BM_ParseSolution(benchmark::State& state) {
    const std::string text = GenerateSolution(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        vs::TWorkspaceParserVC7 parser(true);
        parser.LoadFromText("/nonexistent/bench/app.sln", text);
        benchmark::DoNotOptimize(parser.ProjectCount());
    }
    state.SetComplexityN(state.range(0));
}

BENCHMARK(BM_ParseSolution)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->Complexity();

} // namespace

BENCHMARK_MAIN();
