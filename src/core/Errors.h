#pragma once
// Failures are exceptions carrying the system's message texts. Wrapping adds
// context as: context text, CR LF, the cause's message.
#include "platform/Raise.h"

#include <stdexcept>
#include <string>
#include <string_view>

namespace core {

// Raises an error: `core::Raise(EGeneralError("text"))` logs it while the diagnostic
// log is on, then throws it.
using platform::Raise;

// Base of every error the program raises.
class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message) : std::runtime_error(message) {}
    virtual const char* ClassName() const { return "Exception"; }
};

// Format and other failures of the program's own rules.
class EGeneralError : public Exception {
public:
    using Exception::Exception;
    const char* ClassName() const override { return "EGeneralError"; }
};

// Reading or indexing past the bounds of a list or stream.
class ERangeError : public Exception {
public:
    using Exception::Exception;
    const char* ClassName() const override { return "ERangeError"; }
};

// A silent cancellation.
class EAbort : public Exception {
public:
    using Exception::Exception;
    const char* ClassName() const override { return "EAbort"; }
};

// An operating-system failure; keeps the system error code.
class EOSError : public Exception {
public:
    EOSError(const std::string& message, int code) : Exception(message), code(code) {}
    int ErrorCode() const { return code; }
    const char* ClassName() const override { return "EOSError"; }

private:
    int code;
};

// A text that does not convert to the wanted number or value.
class EConvertError : public EGeneralError {
public:
    using EGeneralError::EGeneralError;
    const char* ClassName() const override { return "EConvertError"; }
};

// A programming error: a broken precondition that valid input never reaches.
class EAssertionFailed : public Exception {
public:
    using Exception::Exception;
    const char* ClassName() const override { return "EAssertionFailed"; }
};

// The class name of an error of the program; "Exception" for any other.
std::string ErrorClassName(const std::exception& e);

// Raises EAssertionFailed with "`text` (`file`, line `line`)".
[[noreturn]] void AssertionFailed(std::string_view text, const char* file, int line);

// Raises a new error: `context` CR LF the message of the error being handled.
// Aborts stay aborts, OS errors keep their code, every other cause becomes a
// general error. Call only inside a catch block.
[[noreturn]] void RethrowWrapped(std::string_view context);

} // namespace core
