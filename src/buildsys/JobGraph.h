#pragma once
// A build document (job document) as a graph of tasks, checked before anything runs.
//
// Projects and task groups nest; their tasks are numbered depth first (a group's own
// tasks, then its subgroups), so every group's tasks are one range of the numbers.
// A task names its Tool (else its group's, inherited) in its Env (else its group's,
// else the document's first Environment). DependsOn names tasks or groups (a group
// stands for every task in it), separated by ";" or ","; a group's DependsOn holds for
// every task in it. A group that must not overlap its parent (its own
// ParentProjectOverlap="false", or the parent's SubProjectOverlap="false") waits for
// the parent's own tasks; so does a task with ParentProjectOverlap="false" for the own
// tasks of its group's parent, and a task with SubProjectOverlap="false" holds back
// every subgroup of its group. $(Name) expands a variable of the task's environment
// (else of the build's process environment); relative paths are relative to the
// document's folder.
#include "core/Errors.h"
#include "records/ProfilePackets.h"
#include "records/XmlRecordFile.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace buildsys {

class EJobDocumentError : public core::EGeneralError {
public:
    using core::EGeneralError::EGeneralError;
    const char* ClassName() const override { return "EJobDocumentError"; }
};

struct TJobTask {
    std::string Name;
    std::string Caption; // its Caption, else its Name
    std::int32_t Project = 0;
    std::vector<std::string> Arguments; // the program first
    std::string WorkingDir;
    std::string Source;
    std::string Output;
    std::vector<std::int32_t> DependsOn;        // task numbers, ascending, no repeats
    std::vector<std::int32_t> SuccessExitCodes; // empty: 0 only
    std::vector<std::int32_t> WarningExitCodes;
    bool StopOnErrors = false;
    bool SkipIfProjectFailed = false;
    bool AllowRemote = false;
    int Line = 0;
};

struct TJobProject {
    std::string Name;
    std::int32_t TaskCount = 0;
};

struct TJobGraph {
    std::vector<TJobProject> Projects;
    std::vector<TJobTask> Tasks;
    // Dependents[i]: the tasks that depend on task i, ascending.
    std::vector<std::vector<std::int32_t>> Dependents;
};

// The FormatVersion this reader writes and accepts.
inline constexpr std::int32_t JobDocumentFormatVersion = 1;

// Checks the document and makes its graph. Raises EJobDocumentError with every error
// found, one line each, each naming the file, the line and the element. `environment`
// is the build's environment block (its PATH finds the tools, its variables expand).
TJobGraph MakeJobGraph(const records::TXml_BuildDocument& document,
                       const records::TXmlRecordLines& lines, const std::string& fileName,
                       std::string_view environment);

// Reads and checks the file (EXmlRecordError or EJobDocumentError).
TJobGraph LoadJobGraph(const std::string& fileName, std::string_view environment);

// "a;b, c" -> {"a", "b", "c"}: ";" or "," separate, blanks around a name are dropped.
std::vector<std::string> SplitNameList(std::string_view text);

} // namespace buildsys
