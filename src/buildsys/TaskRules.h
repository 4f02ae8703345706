#pragma once
// The job profile's rule for each task: whether it may run remotely (a compile by a
// tool whose rule allows it and that distcc would send to a helper; a compiler driver
// call that links stays local) and which exit codes mean success.
#include "buildsys/ExitCodeRule.h"
#include "records/ProfilePackets.h"

#include <string_view>
#include <vector>

namespace buildsys {

struct TTaskRequest;

class TTaskRules {
public:
    TTaskRules() = default;
    // Raises std::invalid_argument naming the tool for an exit code list that is no
    // list of integers.
    explicit TTaskRules(const records::TXml_ProfileDocument& profile);

    // Fills the request's AllowRemote and ExitCodes from the rule of the tool the build
    // called (its argv[0], else the resolved tool); a tool without a rule keeps the
    // defaults: local, exit code 0 is the only success.
    void Apply(TTaskRequest& request) const;

private:
    struct TRule {
        bool AllowRemote = false;
        TExitCodeRule ExitCodes;
    };
    records::TXml_ProfileDocument profile;
    std::vector<TRule> rules; // one per profile.Tools entry
};

} // namespace buildsys
