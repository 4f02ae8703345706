#include "platform/DebugInfo.h"
#include "platform/CrashStack.h"

#include <csignal>
#include <cstdio>
#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <link.h>
#include <memory>
#include <ucontext.h>

namespace platform {

std::string CallTrace(int skip) {
    void* frames[64];
    const int count = ::backtrace(frames, 64);
    std::string trace;
    for (int i = 1 + skip; i < count; ++i) {
        Dl_info info{};
        char line[64];
        if (::dladdr(frames[i], &info) != 0 && info.dli_fname != nullptr) {
            std::string module = info.dli_fname;
            const std::size_t slash = module.rfind('/');
            if (slash != std::string::npos) {
                module.erase(0, slash + 1);
            }
            std::snprintf(line, sizeof line, "+0x%zx",
                          static_cast<std::size_t>(static_cast<const char*>(frames[i]) -
                                                   static_cast<const char*>(info.dli_fbase)));
            trace += "  " + module + line;
            if (info.dli_sname != nullptr) {
                int status = 0;
                std::unique_ptr<char, void (*)(void*)> demangled(
                    abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status), std::free);
                trace += " ";
                trace += status == 0 && demangled ? demangled.get() : info.dli_sname;
            }
        } else {
            std::snprintf(line, sizeof line, "  %p", frames[i]);
            trace += line;
        }
        trace += "\r\n";
    }
    return trace;
}

namespace {
std::string_view BaseName(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}
} // namespace

bool IsModuleLoaded(std::string_view name) {
    struct TSearch {
        std::string_view Name;
        bool Found = false;
    } search{name};
    ::dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            auto* s = static_cast<TSearch*>(data);
            const std::string_view file =
                BaseName(info->dlpi_name != nullptr ? info->dlpi_name : "");
            const std::size_t dot = file.find('.');
            if (file == s->Name ||
                (dot != std::string_view::npos && file.substr(0, dot) == s->Name)) {
                s->Found = true;
                return 1;
            }
            return 0;
        },
        &search);
    return search.Found;
}

namespace {

void (*crashHandler)(const TCrashInfo&) = nullptr;
constexpr int CrashSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};

void OnCrash(int signal, siginfo_t* info, void* context) {
    // Whatever happens next, a second fault ends the process by default.
    for (const int s : CrashSignals) {
        ::signal(s, SIG_DFL);
    }
    TCrashInfo crash;
    crash.Signal = signal;
    crash.DataAddress = info->si_addr;
    switch (signal) {
    case SIGSEGV:
    case SIGBUS:
        crash.Code = 0xC0000005u;
        break;
    case SIGILL:
        crash.Code = 0xC000001Du;
        break;
    default:
        crash.Code = info->si_code == FPE_INTDIV ? 0xC0000094u : 0xC0000090u;
        break;
    }
#if defined(__x86_64__)
    const auto* uc = static_cast<const ucontext_t*>(context);
    crash.Address = reinterpret_cast<const void*>(uc->uc_mcontext.gregs[REG_RIP]);
    if (signal == SIGSEGV) {
        const auto error = static_cast<unsigned long>(uc->uc_mcontext.gregs[REG_ERR]);
        crash.Access = (error & 16) != 0  ? TCrashInfo::Execute
                       : (error & 2) != 0 ? TCrashInfo::Write
                                          : TCrashInfo::Read;
    }
#else
    (void)context;
    crash.Address = info->si_addr;
#endif
    Dl_info module{};
    if (::dladdr(crash.Address, &module) != 0 && module.dli_fname != nullptr) {
        crash.Module = std::string(BaseName(module.dli_fname));
        crash.ModuleBase = module.dli_fbase;
    }
    crash.Trace = CallTrace(1);
    if (crashHandler != nullptr) {
        crashHandler(crash);
    }
    // Returning re-runs the faulting instruction, which now ends the process.
    if (signal != SIGSEGV && signal != SIGBUS) {
        ::raise(signal);
    }
}

} // namespace

void InstallCrashHandler(void (*handler)(const TCrashInfo& crash)) {
    crashHandler = handler;
    // A fault from an exhausted stack can only be handled on a stack of its own; the
    // installing thread keeps its one for good.
    static const TCrashStack* const crashStack = new TCrashStack;
    (void)crashStack;
    struct sigaction action {};
    action.sa_sigaction = OnCrash;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (const int s : CrashSignals) {
        ::sigaction(s, &action, nullptr);
    }
}

} // namespace platform
