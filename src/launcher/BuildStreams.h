#pragma once
// Which of a task's output streams the build takes as the task's output. The build
// takes a stream only where the bytes would reach the build's output anyway: the
// build's own pipe, or a pipe that a build driver (ninja) reads to print what it read
// on the build's output. A stream its caller points elsewhere (a captured `$(...)`, a
// file, a pipe into another program, make's --output-sync files) stays the caller's.
#include <string_view>

namespace launcher {

struct TBuildStreams {
    bool Output = false;
    bool Error = false;
    // `stream` 1 output, 2 error.
    bool Takes(int stream) const { return stream == 1 ? Output : stream == 2 && Error; }
};

// `buildOutputs`: the value of the build's output variable, the identities of its pipes.
TBuildStreams StreamsTheBuildTakes(std::string_view buildOutputs);

} // namespace launcher
