#include "PageMerge.h"

namespace viewer_test {

using nlohmann::json;

namespace {

// `into` cut to `from` items, then `values` appended.
void Place(json& into, std::size_t from, const json& values) {
    json kept = json::array();
    for (std::size_t i = 0; i < from && i < into.size(); ++i) {
        kept.push_back(into[i]);
    }
    for (const json& v : values) {
        kept.push_back(v);
    }
    into = std::move(kept);
}

} // namespace

json Merge(json held, const json& doc) {
    json data = !held.is_null() && doc.contains("base")
                    ? std::move(held)
                    : json{{"rows", json::array()},
                           {"graphs", json::array()},
                           {"tasks", {{"hints", json::array()}}},
                           {"output", json::object()}};
    for (const auto& [key, value] : doc.items()) {
        if (key != "rows" && key != "rowsFrom" && key != "graphs" && key != "tasks" &&
            key != "output") {
            data[key] = value;
        }
    }
    if (doc.contains("rows")) {
        Place(data["rows"], doc.value("rowsFrom", 0), doc["rows"]);
    }
    const json& t = doc["tasks"];
    for (const char* c :
         {"row", "begin", "end", "kind", "exit", "name", "cmd", "id", "hint", "errors"}) {
        json& into = data["tasks"][c];
        if (into.is_null()) {
            into = json::array();
        }
        for (std::size_t j = 0; j < t[c].size(); ++j) {
            const std::size_t at = t.contains("at") ? t["at"][j].get<std::size_t>() : j;
            while (into.size() <= at) {
                into.push_back(nullptr);
            }
            into[at] = t[c][j];
        }
    }
    Place(data["tasks"]["hints"], t.value("hintsFrom", 0), t["hints"]);
    if (doc.contains("output")) {
        for (const char* c : {"ms", "task", "error", "text"}) {
            json& into = data["output"][c];
            if (into.is_null()) {
                into = json::array();
            }
            Place(into, doc["output"].value("from", 0), doc["output"][c]);
        }
    }
    if (doc.contains("graphs")) {
        for (std::size_t r = 0; r < doc["graphs"].size(); ++r) {
            const json& row = doc["graphs"][r];
            if (r >= data["graphs"].size()) {
                data["graphs"].push_back(row);
                continue;
            }
            json& have = data["graphs"][r];
            have["name"] = row["name"];
            for (std::size_t n = 0; n < row["sets"].size(); ++n) {
                const json& set = row["sets"][n];
                if (n >= have["sets"].size()) {
                    have["sets"].push_back(set);
                    continue;
                }
                json& h = have["sets"][n];
                if (!set.contains("from")) {
                    h = set;
                    continue;
                }
                h["name"] = set["name"];
                h["graphs"] = set["graphs"];
                const std::size_t from = set["from"];
                Place(h["ms"], from, set["ms"]);
                for (std::size_t g = 0; g < set["values"].size(); ++g) {
                    Place(h["values"][g], from, set["values"][g]);
                }
            }
        }
    }
    return data;
}

} // namespace viewer_test
