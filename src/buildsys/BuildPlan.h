#pragma once
// What a build request asks this system to run, or why it cannot be run here.
#include "records/BuildPackets.h"

#include <string>
#include <string_view>
#include <vector>

namespace buildsys {

struct TBuildPlan {
    std::vector<std::string> Arguments; // the program and its arguments; empty when refused
    std::string WorkingDir;
    std::string Environment; // an environment block
    std::string Refusal;     // why the request cannot be built, when it cannot
};

// The environment of a job: `block` ("name=value" entries each ended by NUL, then
// one more NUL) with every "name=value" of `forced` replacing or adding its variable.
std::string MergeEnvironment(std::string_view block, const std::vector<std::string>& forced);

// `block` without the variables whose names start with `prefix`.
std::string WithoutVariablesStartingWith(std::string_view block, std::string_view prefix);

// "make" runs its Command with /bin/sh -c; "wrap" its Command the same way, or else
// its primary file as a shell script; "xml" runs the tasks of its primary file (no
// Arguments then). The environment is the request's (this
// process's own when the request has none) with the forced entries applied.
TBuildPlan PlanBuild(const records::TBuildCommandPacket& request, std::string_view ownEnvironment);

} // namespace buildsys
