#pragma once
// Whether distcc sends a compile to a helper at all. Some compiles it runs on this
// machine whatever host it is given, and reports success as if distributed: an input
// without a C, C++ or Objective-C source suffix (the /dev/null and stdin probes of
// configure steps and kbuild, assembler files), several inputs, and options it cannot
// carry (-march=native, profiling, assembler listings, -specs). Granting those a helper's
// row would hold the row and show the task on a helper while it runs here.
#include <string>
#include <vector>

namespace buildsys {

// `argv` is a compile's (argv[0] included).
bool DistccSendsToHelper(const std::vector<std::string>& argv);

} // namespace buildsys
