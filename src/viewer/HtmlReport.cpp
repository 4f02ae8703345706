#include "viewer/HtmlReport.h"

#include "core/Errors.h"
#include "viewer/PageAssets.h"
#include "viewer/ReportData.h"

namespace viewer {

void WriteScriptSafeJson(std::string_view json,
                         const std::function<void(std::string_view)>& write) {
    std::size_t from = 0;
    for (std::size_t at = json.find('<'); at != std::string_view::npos; at = json.find('<', from)) {
        write(json.substr(from, at - from));
        write("\\u003c");
        from = at + 1;
    }
    write(json.substr(from));
}

std::string HtmlEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

void WriteReportPage(std::string_view title, std::string_view data,
                     const std::function<void(std::string_view)>& write) {
    const std::string escapedTitle = HtmlEscape(title);
    const std::string_view page = PageTemplate;
    std::size_t at = 0;
    while (at < page.size()) {
        const std::size_t mark = page.find('@', at);
        if (mark == std::string_view::npos) {
            write(page.substr(at));
            break;
        }
        write(page.substr(at, mark - at));
        const std::string_view rest = page.substr(mark);
        const auto place = [&](std::string_view name, std::string_view value) {
            if (rest.starts_with(name)) {
                write(value);
                at = mark + name.size();
                return true;
            }
            return false;
        };
        if (!place("@TITLE@", escapedTitle) && !place("@STYLE@", PageStyle) &&
            !place("@SCRIPT@", PageScript)) {
            if (rest.starts_with("@DATA@")) {
                WriteScriptSafeJson(data, write);
                at = mark + 6;
                continue;
            }
            write("@");
            at = mark + 1;
        }
    }
}

void WriteHtmlReport(const TBuildModel& model, const TBuildAnalysis& analysis,
                     const std::function<void(std::string_view)>& write) {
    const std::string data = ReportData(model, analysis);
    WriteReportPage(PageTitle(model), data, write);
}

std::string PageTitle(const TBuildModel& model) {
    return (model.Caption.empty() ? model.PrimaryFile : model.Caption) + " - build monitor";
}

} // namespace viewer
