#include "proxy/HelperState.h"

#include "core/Errors.h"
#include "platform/Files.h"

#include <chrono>
#include <nlohmann/json.hpp>

namespace build {

namespace {

using nlohmann::json;

constexpr std::size_t MaxStateBytes = 4u << 20;
constexpr std::size_t MaxHelpers = 4096;

[[noreturn]] void Bad(const std::string& what) {
    core::Raise(core::EGeneralError("Helper state: " + what));
}

const json& Member(const json& object, const char* name, json::value_t type) {
    const auto it = object.find(name);
    const bool numberWanted = type == json::value_t::number_integer;
    if (it == object.end() || (numberWanted ? !it->is_number_integer() : it->type() != type)) {
        Bad(std::string("member \"") + name + "\" missing or of the wrong type");
    }
    return *it;
}

std::int64_t Integer(const json& object, const char* name) {
    const json& value = Member(object, name, json::value_t::number_integer);
    if (value.is_number_unsigned() && value.get<std::uint64_t>() > INT64_MAX) {
        Bad(std::string("member \"") + name + "\" out of range");
    }
    return value.get<std::int64_t>();
}

std::string Text(const json& object, const char* name) {
    return Member(object, name, json::value_t::string).get<std::string>();
}

bool Flag(const json& object, const char* name) {
    return Member(object, name, json::value_t::boolean).get<bool>();
}

} // namespace

std::string HelperStatePath(const std::string& agentFolder) {
    return agentFolder + "/HelperState.json";
}

std::int64_t WallClockMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string HelperStateToJson(const THelperState& state) {
    json helpers = json::array();
    for (const THelperStatus& h : state.Helpers) {
        json compilers = json::object();
        for (const auto& [name, why] : h.Compilers) {
            compilers[name] = why;
        }
        helpers.push_back({{"host", DistccHostText(h.Host, h.Host.Limit)},
                           {"probed", h.Probed},
                           {"reachable", h.Reachable},
                           {"slots", h.Slots},
                           {"probedAt", h.ProbedAt},
                           {"tasksRun", h.TasksRun},
                           {"message", h.Message},
                           {"compilers", compilers}});
    }
    const json document = {
        {"agentPid", state.AgentPid}, {"writtenAt", state.WrittenAt}, {"helpers", helpers}};
    return document.dump(1) + "\n";
}

THelperState HelperStateFromJson(std::string_view text) {
    json document;
    try {
        document = json::parse(text.begin(), text.end());
    } catch (const json::exception& e) {
        Bad(std::string("not JSON: ") + e.what());
    }
    if (!document.is_object()) {
        Bad("not a JSON object");
    }
    THelperState state;
    state.AgentPid = Integer(document, "agentPid");
    state.WrittenAt = Integer(document, "writtenAt");
    const json& helpers = Member(document, "helpers", json::value_t::array);
    if (helpers.size() > MaxHelpers) {
        Bad("too many helpers");
    }
    for (const json& h : helpers) {
        if (!h.is_object()) {
            Bad("a helper is not an object");
        }
        THelperStatus status;
        const std::vector<THelperHost> hosts = ParseHelperHosts(Text(h, "host"));
        if (hosts.size() != 1) {
            Bad("a helper names no single host");
        }
        status.Host = hosts.front();
        status.Probed = Flag(h, "probed");
        status.Reachable = Flag(h, "reachable");
        const std::int64_t slots = Integer(h, "slots");
        if (slots < 0 || slots > MaxHelperLimit) {
            Bad("slots out of range");
        }
        status.Slots = static_cast<int>(slots);
        status.ProbedAt = Integer(h, "probedAt");
        status.TasksRun = Integer(h, "tasksRun");
        status.Message = Text(h, "message");
        for (const auto& [name, why] : Member(h, "compilers", json::value_t::object).items()) {
            if (!why.is_string()) {
                Bad("a compiler's verdict is not a string");
            }
            status.Compilers[name] = why.get<std::string>();
        }
        state.Helpers.push_back(std::move(status));
    }
    return state;
}

void WriteHelperState(const std::string& path, const THelperState& state) {
    std::string error;
    if (!platform::PublishFile(path, HelperStateToJson(state), &error)) {
        core::Raise(core::EGeneralError(error));
    }
}

std::optional<THelperState> ReadHelperState(const std::string& path, std::string& why) {
    std::string text;
    if (!platform::ReadTrustedFile(path, text, MaxStateBytes, &why)) {
        return std::nullopt;
    }
    try {
        return HelperStateFromJson(text);
    } catch (const std::exception& e) {
        why = path + ": " + e.what();
        return std::nullopt;
    }
}

} // namespace build
