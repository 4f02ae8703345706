#include "viewer/LiveUpdates.h"

namespace viewer {

TLiveUpdate TLiveUpdateMaker::Next(const TBuildModel& model, const TBuildAnalysis& analysis,
                                   bool final) {
    TLiveUpdate update;
    update.Version = ++version;
    nlohmann::json extra = {{"live", {{"final", final}}}, {"version", version}};
    TPageState fresh;
    update.Whole = ReportDocument(model, analysis, extra, fresh);
    if (version == 1 || !ContinuesRows(page, model)) {
        page = std::move(fresh);
        return update;
    }
    extra["base"] = version - 1;
    update.Delta = ReportDocument(model, analysis, extra, page);
    return update;
}

} // namespace viewer
