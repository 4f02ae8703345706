#pragma once
// The product's version, as the banner, the build requests and the monitor files
// show it.
#include <cstdint>
#include <string_view>

namespace core {

constexpr std::int32_t ProductMajorVersion = 10;
constexpr std::int32_t ProductMinorVersion = 24;
constexpr std::int32_t ProductRelease = 2;
constexpr std::int32_t ProductBuildNumber = 14861;
// major * 10000 + minor * 100 + release
constexpr std::int32_t ProductVersionNumber =
    ProductMajorVersion * 10000 + ProductMinorVersion * 100 + ProductRelease;
constexpr std::string_view ProductVersionText = "10.24.2 (build 14861)";

} // namespace core
