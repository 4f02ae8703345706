#pragma once
// Splitting command-line text into arguments.
#include "core/StringListEx.h"

#include <string_view>

namespace core {

class TCmdLineTokenizer {
public:
    TCmdLineTokenizer() = default;
    virtual ~TCmdLineTokenizer() = default;

    // Appends the arguments found in the text.
    virtual void Tokenize(std::string_view text) = 0;

    TStringListEx& Arguments() { return arguments; }
    const TStringListEx& Arguments() const { return arguments; }

protected:
    TStringListEx arguments;
};

// The C runtime's argument rules: backslashes are literal except before a double
// quote, where pairs collapse and an odd one escapes the quote; "" inside a quoted
// run is one literal quote.
class TCRTCmdLineTokenizer : public TCmdLineTokenizer {
public:
    TCRTCmdLineTokenizer() = default;
    explicit TCRTCmdLineTokenizer(std::string_view text) { TCRTCmdLineTokenizer::Tokenize(text); }
    void Tokenize(std::string_view text) override;
};

} // namespace core
