#pragma once
// Tests on the console's option list. An entry is a bare name or name=value;
// names compare ignoring case and each test consumes at most one entry, so an
// option given twice leaves its second entry behind.
#include "core/StringListEx.h"
#include "core/TextHelpers.h"

#include <optional>
#include <string>
#include <string_view>

namespace build {

// Index of the first entry equal to `name`, or -1.
int FindBareOption(const core::TStringListEx& options, std::string_view name);
// Index of the first entry whose part before its first "=" is `name`, or -1.
int FindValueOption(const core::TStringListEx& options, std::string_view name);

bool ConsumeBareOption(core::TStringListEx& options, std::string_view name);
// The value of the first name= entry, which is removed; absent when there is none.
std::optional<std::string> ConsumeValueOption(core::TStringListEx& options, std::string_view name);

// The entries joined with ","; an entry holding a blank, a control character, a
// double quote or a comma is quoted with its inner quotes doubled.
std::string JoinLeftoverOptions(const core::TStringListEx& options);

using core::TrimText;
using core::TryParseInt32;
using core::UnquoteText;

} // namespace build
