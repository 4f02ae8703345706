#pragma once
// Visual Studio versions by a small index: 1 the embedded-device toolset, 2 the
// .dsw/.dsp products, 3 (2002) to 13 (2022) the solution products; 0 is unknown.
#include <string>
#include <string_view>

namespace vs {

constexpr int VSVersionCount = 13;

// "7.1", or its major version "7" with `majorOnly`. Empty for an unknown index.
std::string VSVersionText(int index, bool majorOnly = false);
// "2003" for index 4; "4.0" and "6.0" for the two oldest.
std::string VSVersionSignature(int index);

// Commas become dots, ".0" is added when there is no dot, and the first index whose
// version text is a prefix of the result wins ("14" and "14.0" give 10, "7.10" gives 4).
int VSIndexFromVersionText(std::string_view text);
// The first index whose major version equals the number (7 gives 3).
int VSIndexFromNumber(int major);
// The first index whose signature occurs anywhere in the text.
int VSIndexFromSignature(std::string_view text);

// Formats 5 to 8 call the "Xbox 360" platform "Xenon": "Debug|Xbox 360" becomes
// "Debug|Xenon" there; any other name is returned as it is.
std::string XenonPlatformName(std::string configuration, int formatIndex);

// "VC" + major version (+ "DE" above index 6 without MSBuild); "EVC4" for index 1.
std::string VSProjectFormatName(int index, bool useMSBuild);

} // namespace vs
