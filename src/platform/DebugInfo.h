#pragma once
// Call traces and the modules loaded into the process, for diagnostics.
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// The calling thread's call stack, one frame a line ("  module+0xoffset symbol"),
// leaving out `skip` frames nearest to the caller.
std::string CallTrace(int skip = 0);

// True when a module (the program or a loaded library) of that name, with or
// without its extension, is part of the process.
bool IsModuleLoaded(std::string_view name);

// What the processor or the system reported about a fatal fault of the process.
struct TCrashInfo {
    int Signal = 0;
    std::uint32_t Code = 0;        // the Windows exception code it corresponds to
    const void* Address = nullptr; // the faulting instruction
    const void* DataAddress = nullptr;
    enum TAccess { Read, Write, Execute, Unknown } Access = Unknown;
    std::string Module; // holding the faulting instruction
    const void* ModuleBase = nullptr;
    std::string Trace;
};

// Calls `handler` on a fatal fault (invalid memory access, bus error, illegal
// instruction, arithmetic fault) of any thread; the fault then ends the process as
// it would have without the handler. The handler runs on a stack of its own in the
// installing thread and in every thread holding a TCrashStack (platform/CrashStack.h),
// so that an exhausted stack is reported as well.
void InstallCrashHandler(void (*handler)(const TCrashInfo& crash));

} // namespace platform
