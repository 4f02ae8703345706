#include "viewer/LiveUpdates.h"

namespace viewer {

TLiveUpdate TLiveUpdateMaker::Next(const TBuildModel& model, const TBuildAnalysis& analysis,
                                   bool final, bool whole) {
    TLiveUpdate update;
    update.Version = ++version;
    nlohmann::json extra = {{"live", {{"final", final}}}, {"version", version}};
    if (version == 1 || !ContinuesRows(page, model)) {
        page = TPageState();
        update.Whole = ReportDocument(model, analysis, extra, page);
        return update;
    }
    if (whole || final) {
        TPageState fresh;
        update.Whole = ReportDocument(model, analysis, extra, fresh);
    }
    extra["base"] = version - 1;
    update.Delta = ReportDocument(model, analysis, extra, page);
    return update;
}

} // namespace viewer
