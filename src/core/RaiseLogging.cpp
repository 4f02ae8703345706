// Logs every error the program raises through Raise, at the point of the raise,
// while the diagnostic log is switched on.
#include "core/DiagnosticLog.h"
#include "core/Errors.h"
#include "platform/DebugInfo.h"

#include <cstdlib>
#include <cxxabi.h>
#include <memory>
#include <typeinfo>

namespace core {

namespace {

std::string Demangle(const char* name) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> text(
        abi::__cxa_demangle(name, nullptr, nullptr, &status), std::free);
    return status == 0 && text ? std::string(text.get()) : std::string(name);
}

// Frames of the call trace above the raising code: this function, the platform's
// notification and Raise itself.
constexpr int RaiseFrames = 3;

} // namespace

void LogRaisedError(const std::exception& error) {
    try {
        // Raises while the log is being created (reading its settings) are not logged:
        // creating it here would run into that creation.
        TDiagnosticLog* log = LogIfCreated();
        if (log == nullptr || !log->Enabled() || dynamic_cast<const EAbort*>(&error) != nullptr) {
            return;
        }
        const auto* own = dynamic_cast<const Exception*>(&error);
        std::string message = error.what();
        if (dynamic_cast<const EAssertionFailed*>(&error) != nullptr) {
            // The call trace shows where; drop the " (file, line n)" reference.
            const std::size_t open = message.rfind(" (");
            if (open != std::string::npos && message.back() == ')') {
                message.erase(open);
            }
        }
        log->RaisedException(own != nullptr ? std::string(own->ClassName())
                                            : Demangle(typeid(error).name()),
                             message, platform::CallTrace(RaiseFrames));
    } catch (...) {
    }
}

} // namespace core
