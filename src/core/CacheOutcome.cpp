#include "core/CacheOutcome.h"

#include "platform/Files.h"

#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>

namespace core {

namespace {

// At most this many error lines travel with a task's end.
constexpr std::size_t MaxErrors = 4;
constexpr std::size_t MaxErrorLength = 400;

// A log line without its "[time pid] " head.
std::string_view Body(std::string_view line) {
    if (!line.empty() && line.front() == '[') {
        const std::size_t close = line.find("] ");
        if (close != std::string_view::npos) {
            line.remove_prefix(close + 2);
        }
    }
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) {
        line.remove_suffix(1);
    }
    return line;
}

// The Redis back end also logs every command it sends: only a failed one is an error.
bool IsError(std::string_view body) {
    return body.starts_with("Failed to ") || body.starts_with("Error ") ||
           body.find("storage error") != std::string_view::npos ||
           (body.starts_with("Redis ") && (body.find("failed") != std::string_view::npos ||
                                           body.find("error") != std::string_view::npos));
}

// Log text as it may travel: printable ASCII only (the log is the engine's, its bytes
// are not trusted to be UTF-8).
std::string Printable(std::string_view text) {
    std::string printable(text.substr(0, MaxErrorLength));
    for (char& c : printable) {
        const auto byte = static_cast<unsigned char>(c);
        c = byte < 0x20 || byte >= 0x7F ? '?' : c;
    }
    return printable;
}

std::string Spoken(std::string_view word) {
    std::string text = Printable(word);
    for (char& c : text) {
        c = c == '_' ? ' ' : c;
    }
    return text;
}

} // namespace

std::string_view CacheResultName(TCacheResult result) {
    switch (result) {
    case TCacheResult::HitLocal:
        return "hit-local";
    case TCacheResult::HitShared:
        return "hit-shared";
    case TCacheResult::Miss:
        return "miss";
    case TCacheResult::NotCacheable:
        return "not-cacheable";
    case TCacheResult::None:
        break;
    }
    return "";
}

TCacheOutcome CacheOutcomeFromLog(std::string_view log) {
    std::set<std::string, std::less<>> results;
    std::vector<std::string> order;
    TCacheOutcome outcome;
    std::string operationTimeout; // as the Redis back end says it set it
    while (!log.empty()) {
        const std::size_t end = log.find('\n');
        const std::string_view body = Body(log.substr(0, end));
        log.remove_prefix(end == std::string_view::npos ? log.size() : end + 1);
        constexpr std::string_view resultHead = "Result: ";
        constexpr std::string_view timeoutHead = "Redis operation timeout set to ";
        if (body.starts_with(resultHead)) {
            const std::string word(body.substr(resultHead.size()));
            if (results.insert(word).second) {
                order.push_back(word);
            }
        } else if (body.starts_with(timeoutHead) && body.ends_with(" ms")) {
            operationTimeout =
                Printable(body.substr(timeoutHead.size(), body.size() - timeoutHead.size() - 3));
        } else if (IsError(body) && outcome.Errors.size() < MaxErrors &&
                   body.find(" since it failed earlier") == std::string_view::npos) {
            // A command that ran out of time fails with EAGAIN: say it plainly.
            const bool timedOut =
                !operationTimeout.empty() &&
                body.find("Resource temporarily unavailable") != std::string_view::npos;
            outcome.Errors.push_back(
                Printable(body) +
                (timedOut ? " (no answer within " + operationTimeout + " ms)" : ""));
        }
    }
    const auto has = [&](std::string_view word) { return results.count(word) > 0; };
    if (has("remote_storage_error") && outcome.Errors.empty()) {
        outcome.Errors.emplace_back("the shared level of the cache failed");
    }
    if (has("direct_cache_hit") || has("preprocessed_cache_hit")) {
        // A hit copies into the local store; it stores nothing new.
        outcome.Result =
            has("remote_storage_hit") ? TCacheResult::HitShared : TCacheResult::HitLocal;
    } else if (has("cache_miss")) {
        // Only a miss stores a new result; a write without one is noise of a cut log.
        outcome.Stored = has("local_storage_write") || has("remote_storage_write");
        outcome.Result = TCacheResult::Miss;
        outcome.Reason = "no result stored for these inputs";
    } else {
        // Any other result names why the call could not be cached.
        for (const std::string& word : order) {
            if (word.find("storage") == std::string::npos && word != "remote_storage_error") {
                outcome.Result = TCacheResult::NotCacheable;
                outcome.Reason = Spoken(word);
                break;
            }
        }
    }
    return outcome;
}

TCacheOutcome TakeCacheOutcome(const std::string& logFile) {
    // The engine's log of one call is a few kilobytes; more is not read.
    constexpr std::size_t LogLimit = 4u << 20;
    if (logFile.empty()) {
        return {};
    }
    std::string log;
    if (platform::ReadWholeFile(logFile, log, LogLimit) != platform::TFileReadResult::Ok) {
        log.clear();
    }
    std::error_code ignored;
    std::filesystem::remove(logFile, ignored);
    return CacheOutcomeFromLog(log);
}

bool CacheEngineFailed(const TCacheOutcome& outcome, bool callFailed) {
    return callFailed && outcome.Result == TCacheResult::None;
}

TCacheOutcome CacheEngineFailure(const std::string& how) {
    TCacheOutcome failed;
    failed.Errors.push_back("the build cache failed (" + how + "); the task ran without it");
    return failed;
}

std::string CacheOutcomeToText(const TCacheOutcome& outcome) {
    if (outcome.Result == TCacheResult::None && outcome.Errors.empty()) {
        return "";
    }
    nlohmann::json json = {{"result", std::string(CacheResultName(outcome.Result))},
                           {"stored", outcome.Stored},
                           {"reason", outcome.Reason},
                           {"errors", outcome.Errors}};
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

TCacheOutcome CacheOutcomeFromText(std::string_view text) {
    TCacheOutcome outcome;
    if (text.empty()) {
        return outcome;
    }
    const nlohmann::json json = nlohmann::json::parse(text, nullptr, false);
    const auto fail = [&] {
        TCacheOutcome bad;
        bad.Errors.emplace_back("unreadable cache outcome: " +
                                std::string(text.substr(0, MaxErrorLength)));
        return bad;
    };
    if (!json.is_object() || !json.contains("result") || !json["result"].is_string()) {
        return fail();
    }
    const std::string result = json["result"].get<std::string>();
    bool known = false;
    for (const TCacheResult r :
         {TCacheResult::None, TCacheResult::HitLocal, TCacheResult::HitShared, TCacheResult::Miss,
          TCacheResult::NotCacheable}) {
        if (CacheResultName(r) == result) {
            outcome.Result = r;
            known = true;
        }
    }
    if (!known) {
        return fail();
    }
    if (const auto it = json.find("stored"); it != json.end() && it->is_boolean()) {
        outcome.Stored = it->get<bool>();
    }
    if (const auto it = json.find("reason"); it != json.end() && it->is_string()) {
        outcome.Reason = it->get<std::string>();
    }
    if (const auto it = json.find("errors"); it != json.end() && it->is_array()) {
        for (const auto& e : *it) {
            if (e.is_string() && outcome.Errors.size() < MaxErrors) {
                outcome.Errors.push_back(e.get<std::string>().substr(0, MaxErrorLength));
            }
        }
    }
    return outcome;
}

} // namespace core
