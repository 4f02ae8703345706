// morvek-task: the task launcher, called through the masquerade folder or the exec hook.
#include "launcher/TaskLauncher.h"
#include "platform/Environment.h"

int main(int argc, char** argv) {
    return launcher::RunLauncher(std::vector<std::string>(argv, argv + argc),
                                 platform::GetEnvStrings());
}
