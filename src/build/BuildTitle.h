#pragma once
#include "records/BuildPackets.h"

#include <string>

namespace build {

// The request's Caption, or else the primary file's name without folder and
// extension; a plain-ASCII path gets its first letter upper-cased.
std::string GetBuildTitle(const records::TBuildCommandPacket& request);

} // namespace build
