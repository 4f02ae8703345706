#include "core/Errors.h"

#include <exception>
#include <system_error>

namespace core {

std::string ErrorClassName(const std::exception& e) {
    if (const auto* own = dynamic_cast<const Exception*>(&e)) {
        return own->ClassName();
    }
    return "Exception";
}

void AssertionFailed(std::string_view text, const char* file, int line) {
    core::Raise(
        EAssertionFailed(std::string(text) + " (" + file + ", line " + std::to_string(line) + ")"));
}

void RethrowWrapped(std::string_view context) {
    std::string message(context);
    message += "\r\n";
    try {
        throw;
    } catch (const EAbort& e) {
        core::Raise(EAbort(message + e.what()));
    } catch (const EOSError& e) {
        core::Raise(EOSError(message + e.what(), e.ErrorCode()));
    } catch (const std::system_error& e) {
        // Failures of the platform layer carry the system's error code.
        core::Raise(EOSError(message + e.what(), e.code().value()));
    } catch (const std::exception& e) {
        core::Raise(EGeneralError(message + e.what()));
    }
}

} // namespace core
