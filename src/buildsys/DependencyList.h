#pragma once
// Whether a compile's own dependency output names every header it reads. Then ccache
// may key a result on that list (its depend mode) instead of running the preprocessor
// on a miss; a list that leaves headers out (-MMD skips system headers) would let a
// changed header go unnoticed, so such a compile keeps the preprocessor.
#include <string>
#include <vector>

namespace buildsys {

// True for -MD (also as -Wp,-MD,<file>), and for -MMD only where no system header
// directory exists (-nostdinc and none added by -isystem, -idirafter or a sysroot).
bool ListsEveryHeader(const std::vector<std::string>& argv);

} // namespace buildsys
