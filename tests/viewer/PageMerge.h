#pragma once
// What the live page does with a document it receives: a whole one (no "base")
// replaces its data, a partial one brings the changes into it. For checking that a
// chain of partial documents ends where the whole document of the same moment is.
#include <nlohmann/json.hpp>

namespace viewer_test {

// The page's data after `doc`; `held` is null at first. The "base" of a partial
// document stays in the result.
nlohmann::json Merge(nlohmann::json held, const nlohmann::json& doc);

} // namespace viewer_test
