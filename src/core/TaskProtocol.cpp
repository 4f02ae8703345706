#include "core/TaskProtocol.h"

#include "core/Errors.h"

#include <limits>
#include <nlohmann/json.hpp>

namespace core {

namespace {

using nlohmann::json;

const char* const KindNames[] = {"compile", "link", "archive", "assemble", "other"};

[[noreturn]] void Fail(const std::string& text) {
    core::Raise(ETaskProtocolError("task message: " + text));
}

const json& Member(const json& object, const char* name) {
    const auto found = object.find(name);
    if (found == object.end()) {
        Fail(std::string("member \"") + name + "\" is missing");
    }
    return *found;
}

std::string GetString(const json& object, const char* name) {
    const json& value = Member(object, name);
    if (!value.is_string()) {
        Fail(std::string("member \"") + name + "\" is not a string");
    }
    return value.get<std::string>();
}

bool GetBool(const json& object, const char* name) {
    const json& value = Member(object, name);
    if (!value.is_boolean()) {
        Fail(std::string("member \"") + name + "\" is not a boolean");
    }
    return value.get<bool>();
}

std::int64_t GetInt(const json& object, const char* name, std::int64_t low, std::int64_t high) {
    const json& value = Member(object, name);
    std::int64_t number = 0;
    if (value.is_number_integer() && value.is_number_unsigned()) {
        const auto unsignedValue = value.get<std::uint64_t>();
        if (unsignedValue > static_cast<std::uint64_t>(high)) {
            Fail(std::string("member \"") + name + "\" is out of range");
        }
        number = static_cast<std::int64_t>(unsignedValue);
    } else if (value.is_number_integer()) {
        number = value.get<std::int64_t>();
    } else {
        Fail(std::string("member \"") + name + "\" is not an integer");
    }
    if (number < low || number > high) {
        Fail(std::string("member \"") + name + "\" is out of range");
    }
    return number;
}

std::int32_t GetInt32(const json& object, const char* name) {
    return static_cast<std::int32_t>(GetInt(object, name, std::numeric_limits<std::int32_t>::min(),
                                            std::numeric_limits<std::int32_t>::max()));
}

std::int64_t GetInt64(const json& object, const char* name) {
    return GetInt(object, name, std::numeric_limits<std::int64_t>::min(),
                  std::numeric_limits<std::int64_t>::max());
}

std::vector<std::string> GetStrings(const json& object, const char* name) {
    const json& value = Member(object, name);
    if (!value.is_array()) {
        Fail(std::string("member \"") + name + "\" is not an array");
    }
    std::vector<std::string> words;
    words.reserve(value.size());
    for (const json& item : value) {
        if (!item.is_string()) {
            Fail(std::string("member \"") + name + "\" holds an item that is not a string");
        }
        words.push_back(item.get<std::string>());
    }
    return words;
}

std::map<std::string, std::string> GetStringMap(const json& object, const char* name) {
    const json& value = Member(object, name);
    if (!value.is_object()) {
        Fail(std::string("member \"") + name + "\" is not an object");
    }
    std::map<std::string, std::string> entries;
    for (const auto& [key, item] : value.items()) {
        if (!item.is_string()) {
            Fail(std::string("member \"") + name + "\" has a value that is not a string: \"" + key +
                 "\"");
        }
        entries.emplace(key, item.get<std::string>());
    }
    return entries;
}

// One code point per byte: ASCII stays as it is, a byte from 0x80 up takes two.
std::string BytesToCodePoints(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            text.push_back(c);
        } else {
            text.push_back(static_cast<char>(0xC0 | (byte >> 6)));
            text.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
        }
    }
    return text;
}

std::string CodePointsToBytes(std::string_view text, const char* name) {
    std::string bytes;
    bytes.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            bytes.push_back(text[i]);
            continue;
        }
        const auto next =
            i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : std::uint8_t{0};
        if ((lead != 0xC2 && lead != 0xC3) || (next & 0xC0) != 0x80) {
            Fail(std::string("member \"") + name + "\" holds a character above U+00FF");
        }
        bytes.push_back(static_cast<char>(((lead & 0x03) << 6) | (next & 0x3F)));
        ++i;
    }
    return bytes;
}

struct TToJson {
    json operator()(const TTaskBegin& m) const {
        return {{"type", "begin"},    {"pid", m.pid},       {"tool", m.tool},
                {"argv", m.argv},     {"cwd", m.cwd},       {"kind", TaskKindName(m.kind)},
                {"source", m.source}, {"output", m.output}, {"caption", m.caption}};
    }
    json operator()(const TTaskGrant& m) const {
        json grant = {{"type", "grant"},    {"task", m.task},     {"row", m.row},
                      {"worker", m.worker}, {"remote", m.remote}, {"prefix", m.prefix},
                      {"env", m.env}};
        if (!m.keyFile.empty()) {
            grant["keyVariables"] = m.keyVariables;
            grant["keyFile"] = m.keyFile;
        }
        return grant;
    }
    json operator()(const TTaskDeny& m) const { return {{"type", "deny"}, {"reason", m.reason}}; }
    json operator()(const TTaskEnd& m) const {
        return {{"type", "end"},
                {"exitCode", m.exitCode},
                {"signal", m.signal},
                {"errors", m.errors},
                {"warnings", m.warnings},
                {"durationMs", m.durationMs},
                {"engineFailure", m.engineFailure},
                {"cache", m.cache}};
    }
    json operator()(const TTaskOutput& m) const {
        return {{"type", "output"}, {"stream", m.stream}, {"data", BytesToCodePoints(m.bytes)}};
    }
    json operator()(const TTaskLocalRun& m) const {
        return {{"type", "local"}, {"argv", m.argv}, {"env", m.env}};
    }
    json operator()(const TTaskSettled& m) const {
        return {{"type", "settled"}, {"exitCode", m.exitCode}, {"signal", m.signal}};
    }
};

} // namespace

const char* TaskKindName(TTaskKind kind) {
    return KindNames[static_cast<int>(kind)];
}

bool DistributionFailureStatus(std::int32_t exitCode) {
    return exitCode >= 100 && exitCode < 128;
}

std::optional<TTaskKind> TaskKindFromName(std::string_view name) {
    for (int i = 0; i < 5; ++i) {
        if (name == KindNames[i]) {
            return static_cast<TTaskKind>(i);
        }
    }
    return std::nullopt;
}

std::string TaskMessageToJson(const TTaskMessage& message) {
    // Invalid UTF-8 in an argv word or path is replaced, never a failure.
    return std::visit(TToJson{}, message).dump(-1, ' ', false, json::error_handler_t::replace);
}

TTaskMessage TaskMessageFromJson(std::string_view text) {
    const json object = json::parse(text.begin(), text.end(), nullptr, false);
    if (object.is_discarded()) {
        Fail("not valid JSON");
    }
    if (!object.is_object()) {
        Fail("not a JSON object");
    }
    const std::string type = GetString(object, "type");
    if (type == "begin") {
        TTaskBegin m;
        m.pid = GetInt64(object, "pid");
        m.tool = GetString(object, "tool");
        m.argv = GetStrings(object, "argv");
        m.cwd = GetString(object, "cwd");
        const std::string kind = GetString(object, "kind");
        const auto known = TaskKindFromName(kind);
        if (!known) {
            Fail("unknown task kind \"" + kind + "\"");
        }
        m.kind = *known;
        m.source = GetString(object, "source");
        m.output = GetString(object, "output");
        m.caption = GetString(object, "caption");
        return m;
    }
    if (type == "grant") {
        TTaskGrant m;
        m.task = GetInt64(object, "task");
        m.row = GetInt32(object, "row");
        m.worker = GetString(object, "worker");
        m.remote = GetBool(object, "remote");
        m.prefix = GetStrings(object, "prefix");
        m.env = GetStringMap(object, "env");
        // Only a grant whose tool reads variables into the cache key has them.
        if (object.contains("keyFile")) {
            m.keyVariables = GetStrings(object, "keyVariables");
            m.keyFile = GetString(object, "keyFile");
        }
        return m;
    }
    if (type == "deny") {
        return TTaskDeny{GetString(object, "reason")};
    }
    if (type == "end") {
        TTaskEnd m;
        m.exitCode = GetInt32(object, "exitCode");
        m.signal = GetInt32(object, "signal");
        m.errors = GetInt32(object, "errors");
        m.warnings = GetInt32(object, "warnings");
        m.durationMs = GetInt64(object, "durationMs");
        m.engineFailure = GetBool(object, "engineFailure");
        m.cache = GetString(object, "cache");
        return m;
    }
    if (type == "output") {
        TTaskOutput m;
        m.stream = static_cast<std::int32_t>(GetInt(object, "stream", 1, 2));
        m.bytes = CodePointsToBytes(GetString(object, "data"), "data");
        return m;
    }
    if (type == "local") {
        TTaskLocalRun m;
        m.argv = GetStrings(object, "argv");
        m.env = GetStrings(object, "env");
        if (m.argv.empty()) {
            Fail("member \"argv\" is empty");
        }
        return m;
    }
    if (type == "settled") {
        return TTaskSettled{GetInt32(object, "exitCode"), GetInt32(object, "signal")};
    }
    Fail("unknown type \"" + type + "\"");
}

std::string EncodeTaskFrame(const TTaskMessage& message) {
    const std::string payload = TaskMessageToJson(message);
    if (payload.size() > MaxTaskFrameBytes) {
        core::Raise(ETaskProtocolError("task message: " + std::to_string(payload.size()) +
                                       " bytes is more than a frame may hold (" +
                                       std::to_string(MaxTaskFrameBytes) + ")"));
    }
    const auto length = static_cast<std::uint32_t>(payload.size());
    std::string frame;
    frame.reserve(4 + payload.size());
    for (int shift = 0; shift < 32; shift += 8) {
        frame.push_back(static_cast<char>((length >> shift) & 0xFF));
    }
    frame += payload;
    return frame;
}

std::optional<TTaskMessage> TTaskFrameReader::Next() {
    if (Pending() < 4) {
        return std::nullopt;
    }
    std::uint32_t length = 0;
    for (int i = 0; i < 4; ++i) {
        length |= static_cast<std::uint32_t>(static_cast<unsigned char>(buffer[offset + i]))
                  << (8 * i);
    }
    if (length > MaxTaskFrameBytes) {
        core::Raise(ETaskProtocolError("task message: frame length " + std::to_string(length) +
                                       " is more than " + std::to_string(MaxTaskFrameBytes)));
    }
    if (Pending() - 4 < length) {
        return std::nullopt;
    }
    const std::string_view payload(buffer.data() + offset + 4, length);
    TTaskMessage message = TaskMessageFromJson(payload);
    offset += 4 + length;
    if (offset == buffer.size()) {
        buffer.clear();
        offset = 0;
    } else if (offset > 4096 && offset * 2 > buffer.size()) {
        buffer.erase(0, offset);
        offset = 0;
    }
    return message;
}

} // namespace core
