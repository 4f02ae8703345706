#include "buildsys/JobGraph.h"

#include "core/Errors.h"
#include "core/ExitCodeList.h"
#include "core/TextHelpers.h"
#include "platform/Environment.h"
#include "platform/Paths.h"
#include "platform/Process.h"

#include <algorithm>
#include <map>
#include <unordered_map>

namespace buildsys {

namespace {

using records::TXml_Environment;
using records::TXml_Task;
using records::TXml_TaskGroup;
using records::TXml_Tool;

// More errors than this say nothing new.
constexpr std::size_t MaxErrors = 50;
constexpr std::size_t MaxExpansions = 10000;

struct TEnvironment {
    const TXml_Environment* Record = nullptr;
    std::map<std::string, std::string, std::less<>> Variables;
    std::map<std::string, const TXml_Tool*, std::less<>> Tools;
};

// What a group hands down to the groups and tasks in it.
struct TInherited {
    std::string Env;
    std::string Tool;
    std::string WorkingDir;
    std::string StopOnErrors;
    std::int32_t Project = 0;
};

struct TGroup {
    const TXml_TaskGroup* Record = nullptr;
    std::int32_t Begin = 0;   // its first task
    std::int32_t OwnEnd = 0;  // after its own tasks
    std::int32_t End = 0;     // after every task in it
    std::int32_t Parent = -1; // group number
};

class TGraphMaker {
public:
    TGraphMaker(const records::TXml_BuildDocument& document, const records::TXmlRecordLines& lines,
                const std::string& fileName, std::string_view environment)
        : document(document), lines(lines), fileName(fileName),
          folder(platform::ExtractFileDir(fileName)) {
        for (const std::string_view entry : platform::EnvBlockEntries(environment)) {
            const std::size_t equals = entry.find('=', 1);
            if (equals != std::string_view::npos) {
                processVariables.emplace(std::string(entry.substr(0, equals)),
                                         std::string(entry.substr(equals + 1)));
            }
        }
        const auto path = processVariables.find("PATH");
        searchPath = path != processVariables.end() ? path->second : "/usr/local/bin:/usr/bin:/bin";
    }

    TJobGraph Make() {
        if (document.FormatVersion != JobDocumentFormatVersion) {
            Error(document, "<Build> has FormatVersion " + std::to_string(document.FormatVersion) +
                                ", this reader accepts " +
                                std::to_string(JobDocumentFormatVersion));
        }
        ReadEnvironments();
        std::size_t total = 0;
        for (int i = 0; i < document.Project.Count(); ++i) {
            total += CountTasks(document.Project[i]);
        }
        graph.Tasks.reserve(total);
        taskRecords.reserve(total);
        groupOfTask.reserve(total);
        names.reserve(total);
        for (int i = 0; i < document.Project.Count(); ++i) {
            const TXml_TaskGroup& project = document.Project[i];
            TJobProject entry;
            entry.Name = project.Name;
            graph.Projects.push_back(entry);
            TInherited inherited;
            inherited.Project = i;
            ReadGroup(project, "Project", inherited, -1, 0);
        }
        for (std::size_t p = 0; p < graph.Projects.size(); ++p) {
            graph.Projects[p].TaskCount = 0;
        }
        for (const TJobTask& task : graph.Tasks) {
            ++graph.Projects[static_cast<std::size_t>(task.Project)].TaskCount;
        }
        ResolveDependencies();
        if (errors.empty()) {
            FindCycle();
        }
        if (!errors.empty()) {
            std::string text;
            for (const std::string& error : errors) {
                text += (text.empty() ? "" : "\r\n") + error;
            }
            if (errorCount > errors.size()) {
                text +=
                    "\r\n... and " + std::to_string(errorCount - errors.size()) + " more errors";
            }
            core::Raise(EJobDocumentError(text));
        }
        return std::move(graph);
    }

private:
    int LineOf(const packets::TPacket& record) const {
        const auto found = lines.find(&record);
        return found == lines.end() ? 0 : found->second;
    }
    void Error(const packets::TPacket& record, const std::string& text) {
        ++errorCount;
        if (errors.size() < MaxErrors) {
            errors.push_back(fileName + ":" + std::to_string(LineOf(record)) + ": " + text);
        }
    }
    static std::string Element(std::string_view kind, const std::string& name) {
        return "<" + std::string(kind) + (name.empty() ? "" : " Name=\"" + name + "\"") + ">";
    }

    // $(Name) from `variables`, else the process environment; false for an unknown name.
    bool Expand(std::string_view text, const TEnvironment* env, std::string& out,
                std::string& unknown) const {
        out.clear();
        std::size_t expansions = 0;
        while (!text.empty()) {
            const std::size_t open = text.find("$(");
            if (open == std::string_view::npos) {
                out += text;
                break;
            }
            const std::size_t close = text.find(')', open + 2);
            if (close == std::string_view::npos) {
                out += text;
                break;
            }
            out += text.substr(0, open);
            const std::string_view name = text.substr(open + 2, close - open - 2);
            const std::string* value = nullptr;
            if (env) {
                if (const auto found = env->Variables.find(name); found != env->Variables.end()) {
                    value = &found->second;
                }
            }
            if (!value) {
                if (const auto found = processVariables.find(name);
                    found != processVariables.end()) {
                    value = &found->second;
                }
            }
            if (!value || ++expansions > MaxExpansions) {
                unknown = std::string(name);
                return false;
            }
            out += *value;
            text.remove_prefix(close + 1);
        }
        return true;
    }
    // Expands, reporting an unknown variable on `record`.
    std::string Expanded(const packets::TPacket& record, std::string_view kind,
                         const std::string& name, std::string_view text, const TEnvironment* env) {
        std::string out;
        std::string unknown;
        if (!Expand(text, env, out, unknown)) {
            Error(record, Element(kind, name) + ": unknown variable $(" + unknown + ")");
        }
        return out;
    }

    static std::size_t CountTasks(const TXml_TaskGroup& group) {
        std::size_t count = static_cast<std::size_t>(group.Task.Count());
        for (int i = 0; i < group.TaskGroup.Count(); ++i) {
            count += CountTasks(group.TaskGroup[i]);
        }
        return count;
    }

    void ReadEnvironments() {
        for (int i = 0; i < document.Environments.Count(); ++i) {
            const TXml_Environment& record = document.Environments[i];
            if (record.Name.empty()) {
                Error(record, "<Environment> has no Name");
                continue;
            }
            TEnvironment env;
            env.Record = &record;
            for (int v = 0; v < record.Variables.Count(); ++v) {
                const records::TXml_Variable& variable = record.Variables[v];
                if (variable.Name.empty()) {
                    Error(variable, "<Variable> has no Name");
                    continue;
                }
                // A variable may use the ones before it.
                std::string value =
                    Expanded(variable, "Variable", variable.Name, variable.Value, &env);
                if (!env.Variables.emplace(variable.Name, std::move(value)).second) {
                    Error(variable, "duplicate <Variable Name=\"" + variable.Name +
                                        "\"> in <Environment Name=\"" + record.Name + "\">");
                }
            }
            for (int t = 0; t < record.Tools.Count(); ++t) {
                const TXml_Tool& tool = record.Tools[t];
                const std::string& key = tool.Name.empty() ? tool.Filename : tool.Name;
                if (key.empty()) {
                    Error(tool, "<Tool> has neither Name nor Filename");
                    continue;
                }
                if (!env.Tools.emplace(key, &tool).second) {
                    Error(tool, "duplicate <Tool Name=\"" + key + "\"> in <Environment Name=\"" +
                                    record.Name + "\">");
                }
            }
            if (!environments.emplace(record.Name, std::move(env)).second) {
                Error(record, "duplicate <Environment Name=\"" + record.Name + "\">");
            }
        }
    }

    bool ReadBool(const packets::TPacket& record, std::string_view kind, const std::string& name,
                  std::string_view field, const std::string& text, bool fallback) {
        if (text.empty()) {
            return fallback;
        }
        const std::string lower = core::LowerCaseAscii(core::TrimText(text));
        if (lower == "true" || lower == "1") {
            return true;
        }
        if (lower == "false" || lower == "0") {
            return false;
        }
        Error(record, Element(kind, name) + ": " + std::string(field) + " is \"" + text +
                          "\", expected true or false");
        return fallback;
    }

    void Name(const packets::TPacket& record, std::string_view kind, const std::string& name,
              std::int32_t number) {
        if (name.empty()) {
            return;
        }
        if (const auto found = names.find(name); found != names.end()) {
            Error(record, "duplicate name: " + Element(kind, name) + " (first at line " +
                              std::to_string(LineOf(*found->second.Record)) + ")");
            return;
        }
        names.emplace(name, TNamed{&record, kind == "Task", number});
    }

    void ReadGroup(const TXml_TaskGroup& record, std::string_view kind, TInherited inherited,
                   std::int32_t parent, int depth) {
        const auto groupNumber = static_cast<std::int32_t>(groups.size());
        groups.push_back(TGroup{&record, 0, 0, 0, parent});
        Name(record, kind, record.Name, groupNumber);
        if (!record.Env.empty()) {
            inherited.Env = record.Env;
        }
        if (!record.Tool.empty()) {
            inherited.Tool = record.Tool;
        }
        if (!record.StopOnErrors.empty()) {
            inherited.StopOnErrors = record.StopOnErrors;
        }
        const TEnvironment* env = EnvironmentOf(record, kind, record.Name, inherited.Env);
        if (!record.WorkingDir.empty()) {
            inherited.WorkingDir =
                platform::ExpandPath(Expanded(record, kind, record.Name, record.WorkingDir, env),
                                     inherited.WorkingDir.empty() ? folder : inherited.WorkingDir);
        }
        ReadBool(record, kind, record.Name, "StopOnErrors", record.StopOnErrors, false);
        ReadBool(record, kind, record.Name, "ParentProjectOverlap", record.ParentProjectOverlap,
                 true);
        ReadBool(record, kind, record.Name, "SubProjectOverlap", record.SubProjectOverlap, true);
        groups[static_cast<std::size_t>(groupNumber)].Begin =
            static_cast<std::int32_t>(graph.Tasks.size());
        for (int i = 0; i < record.Task.Count(); ++i) {
            ReadTask(record.Task[i], inherited, groupNumber, env);
        }
        groups[static_cast<std::size_t>(groupNumber)].OwnEnd =
            static_cast<std::int32_t>(graph.Tasks.size());
        for (int i = 0; i < record.TaskGroup.Count(); ++i) {
            ReadGroup(record.TaskGroup[i], "TaskGroup", inherited, groupNumber, depth + 1);
        }
        groups[static_cast<std::size_t>(groupNumber)].End =
            static_cast<std::int32_t>(graph.Tasks.size());
    }

    const TEnvironment* EnvironmentOf(const packets::TPacket& record, std::string_view kind,
                                      const std::string& name, const std::string& envName) {
        if (envName.empty()) {
            return environments.empty() || document.Environments.Count() == 0
                       ? nullptr
                       : FindEnvironment(document.Environments[0].Name);
        }
        const TEnvironment* env = FindEnvironment(envName);
        if (!env) {
            Error(record, Element(kind, name) + ": unknown environment \"" + envName + "\"");
        }
        return env;
    }
    const TEnvironment* FindEnvironment(const std::string& name) const {
        const auto found = environments.find(name);
        return found == environments.end() ? nullptr : &found->second;
    }

    void ReadTask(const TXml_Task& record, const TInherited& inherited, std::int32_t group,
                  const TEnvironment* env) {
        const auto number = static_cast<std::int32_t>(graph.Tasks.size());
        graph.Tasks.emplace_back();
        taskRecords.push_back(&record);
        TJobTask& task = graph.Tasks.back();
        task.Name = record.Name;
        task.Caption = record.Caption.empty() ? record.Name : record.Caption;
        task.Project = inherited.Project;
        task.Line = LineOf(record);
        if (record.Name.empty()) {
            Error(record, "<Task> has no Name");
        }
        Name(record, "Task", record.Name, number);
        const std::string& toolName = record.Tool.empty() ? inherited.Tool : record.Tool;
        const TXml_Tool* tool = nullptr;
        if (toolName.empty()) {
            Error(record,
                  Element("Task", record.Name) + ": no Tool (neither its own nor its group's)");
        } else if (env) {
            const auto found = env->Tools.find(toolName);
            if (found == env->Tools.end()) {
                Error(record, Element("Task", record.Name) + ": unknown tool \"" + toolName +
                                  "\" in <Environment Name=\"" + env->Record->Name + "\">");
            } else {
                tool = found->second;
            }
        } else {
            Error(record, Element("Task", record.Name) + ": unknown tool \"" + toolName +
                              "\": the document has no <Environment>");
        }
        task.StopOnErrors = ReadBool(
            record, "Task", record.Name, "StopOnErrors",
            record.StopOnErrors.empty() ? inherited.StopOnErrors : record.StopOnErrors, false);
        ReadBool(record, "Task", record.Name, "ParentProjectOverlap", record.ParentProjectOverlap,
                 true);
        ReadBool(record, "Task", record.Name, "SubProjectOverlap", record.SubProjectOverlap, true);
        const std::string base = inherited.WorkingDir.empty() ? folder : inherited.WorkingDir;
        task.WorkingDir =
            record.WorkingDir.empty()
                ? base
                : platform::ExpandPath(
                      Expanded(record, "Task", record.Name, record.WorkingDir, env), base);
        const std::string& source = record.SourceFile.empty() ? record.Source : record.SourceFile;
        task.Source = Expanded(record, "Task", record.Name, source, env);
        task.Output =
            Expanded(record, "Task", record.Name,
                     record.OutputFiles.empty() ? record.Output : record.OutputFiles, env);
        groupOfTask.push_back(group);
        if (!tool) {
            return;
        }
        task.SkipIfProjectFailed = ReadBool(record, "Task", record.Name, "SkipIfProjectFailed",
                                            record.SkipIfProjectFailed, tool->SkipIfProjectFailed);
        const std::string allowRemote = core::LowerCaseAscii(tool->AllowRemote);
        task.AllowRemote = allowRemote == "true" || allowRemote == "1";
        for (auto [text, codes, field] :
             {std::tuple{&tool->SuccessExitCodes, &task.SuccessExitCodes, "SuccessExitCodes"},
              std::tuple{&tool->WarningExitCodes, &task.WarningExitCodes, "WarningExitCodes"}}) {
            std::string why;
            if (auto parsed = core::ParseExitCodeList(*text, &why)) {
                *codes = std::move(*parsed);
            } else {
                Error(*tool, Element("Tool", toolName) + ": " + field + ": " + why);
            }
        }
        std::string program;
        if (!tool->Path.empty()) {
            program =
                platform::ExpandPath(Expanded(*tool, "Tool", toolName, tool->Path, env), folder);
        } else if (tool->Filename.empty()) {
            Error(*tool, Element("Tool", toolName) + ": neither Path nor Filename");
            return;
        } else {
            const std::string filename = Expanded(*tool, "Tool", toolName, tool->Filename, env);
            program = Lookup(filename);
            if (program.empty()) {
                Error(*tool,
                      Element("Tool", toolName) + ": \"" + filename + "\" is not found on PATH");
                return;
            }
        }
        task.Arguments.push_back(program);
        for (const std::string_view params :
             {std::string_view(tool->Params), std::string_view(record.Params)}) {
            if (params.empty()) {
                continue;
            }
            const std::string expanded = Expanded(record, "Task", record.Name, params, env);
            for (std::string& word : platform::SplitCommandLine(expanded)) {
                task.Arguments.push_back(std::move(word));
            }
        }
    }

    // PATH lookups repeat for every task of a tool: once per name.
    std::string Lookup(const std::string& filename) {
        const auto found = programs.find(filename);
        if (found != programs.end()) {
            return found->second;
        }
        std::string program = platform::FindProgram(filename, searchPath);
        programs.emplace(filename, program);
        return program;
    }

    void AddRange(std::vector<std::int32_t>& to, std::int32_t begin, std::int32_t end) {
        for (std::int32_t i = begin; i < end; ++i) {
            to.push_back(i);
        }
    }
    // The tasks named by a DependsOn text, into `to`; unknown names are errors of `record`.
    void AddNamed(const packets::TPacket& record, std::string_view kind, const std::string& name,
                  const std::string& text, std::vector<std::int32_t>& to) {
        for (const std::string& item : SplitNameList(text)) {
            const auto found = names.find(item);
            if (found == names.end()) {
                Error(record, Element(kind, name) + ": unknown dependency \"" + item + "\"");
                continue;
            }
            if (found->second.Task) {
                to.push_back(found->second.Number);
            } else {
                const TGroup& group = groups[static_cast<std::size_t>(found->second.Number)];
                AddRange(to, group.Begin, group.End);
            }
        }
    }

    void ResolveDependencies() {
        const std::size_t count = graph.Tasks.size();
        std::vector<std::vector<std::int32_t>> depends(count);
        for (std::size_t g = 0; g < groups.size(); ++g) {
            const TGroup& group = groups[g];
            const TXml_TaskGroup& record = *group.Record;
            const std::string_view kind = group.Parent < 0 ? "Project" : "TaskGroup";
            std::vector<std::int32_t> common;
            AddNamed(record, kind, record.Name, record.DependsOn, common);
            if (group.Parent >= 0) {
                const TGroup& parent = groups[static_cast<std::size_t>(group.Parent)];
                if (core::LowerCaseAscii(record.ParentProjectOverlap) == "false" ||
                    record.ParentProjectOverlap == "0" ||
                    core::LowerCaseAscii(parent.Record->SubProjectOverlap) == "false" ||
                    parent.Record->SubProjectOverlap == "0") {
                    AddRange(common, parent.Begin, parent.OwnEnd);
                }
            }
            if (common.empty()) {
                continue;
            }
            for (std::int32_t t = group.Begin; t < group.End; ++t) {
                auto& to = depends[static_cast<std::size_t>(t)];
                to.insert(to.end(), common.begin(), common.end());
            }
        }
        for (std::size_t t = 0; t < count; ++t) {
            const TXml_Task& record = *taskRecords[t];
            auto& to = depends[t];
            AddNamed(record, "Task", record.Name, record.DependsOn, to);
            const TGroup& group = groups[static_cast<std::size_t>(groupOfTask[t])];
            if (IsFalse(record.ParentProjectOverlap) && group.Parent >= 0) {
                const TGroup& parent = groups[static_cast<std::size_t>(group.Parent)];
                AddRange(to, parent.Begin, parent.OwnEnd);
            }
            if (IsFalse(record.SubProjectOverlap)) {
                for (std::int32_t later = group.OwnEnd; later < group.End; ++later) {
                    depends[static_cast<std::size_t>(later)].push_back(
                        static_cast<std::int32_t>(t));
                }
            }
        }
        graph.Dependents.assign(count, {});
        for (std::size_t t = 0; t < count; ++t) {
            auto& list = depends[t];
            std::sort(list.begin(), list.end());
            list.erase(std::unique(list.begin(), list.end()), list.end());
            for (const std::int32_t d : list) {
                graph.Dependents[static_cast<std::size_t>(d)].push_back(
                    static_cast<std::int32_t>(t));
            }
            graph.Tasks[t].DependsOn = std::move(list);
        }
    }
    static bool IsFalse(const std::string& text) {
        return core::LowerCaseAscii(core::TrimText(text)) == "false" || core::TrimText(text) == "0";
    }

    // Depth first without recursion: a million tasks in a chain must not exhaust the stack.
    void FindCycle() {
        const std::size_t count = graph.Tasks.size();
        enum : std::uint8_t { White, Grey, Black };
        std::vector<std::uint8_t> colour(count, White);
        std::vector<std::pair<std::int32_t, std::size_t>> stack; // task, next edge
        for (std::size_t start = 0; start < count; ++start) {
            if (colour[start] != White) {
                continue;
            }
            stack.emplace_back(static_cast<std::int32_t>(start), 0);
            colour[start] = Grey;
            while (!stack.empty()) {
                auto& [task, next] = stack.back();
                const auto& edges = graph.Tasks[static_cast<std::size_t>(task)].DependsOn;
                if (next == edges.size()) {
                    colour[static_cast<std::size_t>(task)] = Black;
                    stack.pop_back();
                    continue;
                }
                const std::int32_t to = edges[next++];
                if (colour[static_cast<std::size_t>(to)] == White) {
                    colour[static_cast<std::size_t>(to)] = Grey;
                    stack.emplace_back(to, 0);
                } else if (colour[static_cast<std::size_t>(to)] == Grey) {
                    ReportCycle(stack, to);
                    return;
                }
            }
        }
    }
    // The stack runs from `to` back to itself: each waits for the next.
    void ReportCycle(const std::vector<std::pair<std::int32_t, std::size_t>>& stack,
                     std::int32_t to) {
        std::size_t first = stack.size() - 1;
        while (stack[first].first != to) {
            --first;
        }
        // A long cycle is shown by its ends.
        constexpr std::size_t Shown = 8;
        const std::size_t length = stack.size() - first;
        std::string path;
        for (std::size_t i = first; i < stack.size(); ++i) {
            if (length > 2 * Shown && i == first + Shown) {
                path += "... (" + std::to_string(length - 2 * Shown) + " more) -> ";
                i = stack.size() - Shown;
            }
            path += graph.Tasks[static_cast<std::size_t>(stack[i].first)].Name + " -> ";
        }
        path += graph.Tasks[static_cast<std::size_t>(to)].Name;
        Error(*taskRecords[static_cast<std::size_t>(to)], "Dependency cycle: " + path);
    }

    struct TNamed {
        const packets::TPacket* Record;
        bool Task;
        std::int32_t Number; // task or group number
    };

    const records::TXml_BuildDocument& document;
    const records::TXmlRecordLines& lines;
    const std::string& fileName;
    std::string folder;
    std::map<std::string, std::string, std::less<>> processVariables;
    std::string searchPath;
    std::map<std::string, TEnvironment, std::less<>> environments;
    std::unordered_map<std::string, TNamed> names;
    std::unordered_map<std::string, std::string> programs;
    std::vector<TGroup> groups;
    std::vector<const TXml_Task*> taskRecords;
    std::vector<std::int32_t> groupOfTask;
    std::vector<std::string> errors;
    std::size_t errorCount = 0;
    TJobGraph graph;
};

} // namespace

std::vector<std::string> SplitNameList(std::string_view text) {
    std::vector<std::string> names;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find_first_of(";,"), text.size());
        const std::string_view item = core::TrimText(text.substr(0, end));
        if (!item.empty()) {
            names.emplace_back(item);
        }
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return names;
}

TJobGraph MakeJobGraph(const records::TXml_BuildDocument& document,
                       const records::TXmlRecordLines& lines, const std::string& fileName,
                       std::string_view environment) {
    return TGraphMaker(document, lines, fileName, environment).Make();
}

TJobGraph LoadJobGraph(const std::string& fileName, std::string_view environment) {
    records::TXml_BuildDocument document;
    records::TXmlRecordLines lines;
    records::LoadXmlRecordFile(fileName, document, &lines);
    return MakeJobGraph(document, lines, fileName, environment);
}

} // namespace buildsys
