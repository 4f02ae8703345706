#include "viewer/BuildModel.h"

namespace viewer {

std::vector<std::int32_t> TBuildModel::DisplayRows() const {
    std::vector<std::int32_t> rows;
    rows.reserve(Rows.size());
    for (const bool local : {true, false}) {
        for (const TMachine& machine : Machines) {
            if (machine.Local == local) {
                rows.insert(rows.end(), machine.Rows.begin(), machine.Rows.end());
            }
        }
    }
    return rows;
}

} // namespace viewer
