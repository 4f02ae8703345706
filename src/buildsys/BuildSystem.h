#pragma once
// One build of the build-system process, from the request handed over by the
// console to the last event:
//  1. read the request file of the identity from the agent's temporary folder;
//  2. create the build mutex (held until the process ends), the owner-attached
//     event, the event stream and the monitor files, then set the console's start
//     event (a failure up to here is reported on stderr, exit code 1);
//  3. with the Attach flag, wait (at most 60 s) for the console to attach;
//  4. write the started event, run the command with its output as events, and the
//     completion event;
//  5. wait until the console stops following (at most 10 s) so that it can read
//     every event, then release the build mutex and the stream.
// The exit code is the command's (128 + signal when a signal ended it), 1 for a
// cancelled build or one that could not run.
#include "buildsys/Arguments.h"

namespace buildsys {

int RunBuildSystem(const TBuildSystemArguments& arguments);

} // namespace buildsys
