// Logs every error the program raises, at the point of the raise, while the
// diagnostic log is switched on. The program is linked with the C++ runtime's raise
// routine wrapped (--wrap=__cxa_throw), so this sees each throw of our own code with
// the thrown object's real type and the call stack of the raise.
#include "core/DiagnosticLog.h"
#include "core/Errors.h"
#include "platform/DebugInfo.h"

#include <cstdlib>
#include <cxxabi.h>
#include <exception>
#include <memory>
#include <typeinfo>

extern "C" {
[[noreturn]] void __real___cxa_throw(void* object, std::type_info* type, void (*destroy)(void*));
[[noreturn]] void __wrap___cxa_throw(void* object, std::type_info* type, void (*destroy)(void*));
}

namespace {

thread_local bool loggingRaise = false;

std::string Demangle(const char* name) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> text(
        abi::__cxa_demangle(name, nullptr, nullptr, &status), std::free);
    return status == 0 && text ? std::string(text.get()) : std::string(name);
}

void LogRaise(void* object, const std::type_info* type) {
    if (loggingRaise) {
        return;
    }
    loggingRaise = true;
    try {
        // Raises while the log is being created (reading its settings) are not logged:
        // creating it here would run into that creation.
        core::TDiagnosticLog* log = core::LogIfCreated();
        void* adjusted = object;
        // Ask the runtime whether a handler of std::exception would catch it, which
        // also adjusts the pointer to that base.
        if (log != nullptr && log->Enabled() &&
            typeid(std::exception).__do_catch(type, &adjusted, 1)) {
            const auto* error = static_cast<const std::exception*>(adjusted);
            if (dynamic_cast<const core::EAbort*>(error) == nullptr) {
                const auto* own = dynamic_cast<const core::Exception*>(error);
                std::string message = error->what();
                if (dynamic_cast<const core::EAssertionFailed*>(error) != nullptr) {
                    // The call trace shows where; drop the " (file, line n)" reference.
                    const std::size_t open = message.rfind(" (");
                    if (open != std::string::npos && message.back() == ')') {
                        message.erase(open);
                    }
                }
                log->RaisedException(own != nullptr ? std::string(own->ClassName())
                                                    : Demangle(type->name()),
                                     message, platform::CallTrace(2));
            }
        }
    } catch (...) {
    }
    loggingRaise = false;
}

} // namespace

extern "C" void __wrap___cxa_throw(void* object, std::type_info* type, void (*destroy)(void*)) {
    LogRaise(object, type);
    __real___cxa_throw(object, type, destroy);
}
