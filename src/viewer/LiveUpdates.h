#pragma once
// The live page's updates, numbered: the whole document for a page that connects (or
// has fallen behind, or whose rows changed order), and what changed since the update
// before for a page that holds it.
#include "viewer/BuildAnalysis.h"
#include "viewer/BuildModel.h"
#include "viewer/ReportData.h"

#include <cstdint>
#include <string>

namespace viewer {

struct TLiveUpdate {
    std::uint64_t Version = 0;
    // Empty when it was not asked for (and not needed: a delta follows the update before).
    std::string Whole;
    // Applies on Version - 1 ("base" names it); empty when only the whole document does.
    std::string Delta;
};

class TLiveUpdateMaker {
public:
    // `whole`: the whole document is wanted (a page connects or fell behind). It is
    // made anyway for the first and the final update and when the rows changed order.
    TLiveUpdate Next(const TBuildModel& model, const TBuildAnalysis& analysis, bool final,
                     bool whole);

private:
    std::uint64_t version = 0;
    TPageState page; // what a page that followed every update holds
};

} // namespace viewer
