#include "console/StatusLine.h"

#include "records/MonitorEvents.h"

namespace console {

namespace {

constexpr const char* GraphTasksRow = "graph-tasks";

template <typename T> const T* As(const packets::TPacket& event) {
    return &event.Class() == &T::StaticClass() ? static_cast<const T*>(&event) : nullptr;
}

} // namespace

bool TStatusLine::Observe(const packets::TPacket& event) {
    if (const auto* employ = As<records::TMonitorEventEmployPacket>(event)) {
        busy.emplace(employ->ID, false);
        ++rows;
    } else if (const auto* unemploy = As<records::TMonitorEventUnemployPacket>(event)) {
        busy.erase(unemploy->ID);
        --rows;
    } else if (const auto* begin = As<records::TMonitorEventBeginStepPacket>(event)) {
        busy[begin->WorkerID] = true;
        waiting = std::max(0, waiting - 1);
    } else if (const auto* end = As<records::TMonitorEventEndStepPacket>(event)) {
        busy[end->WorkerID] = false;
        ++done;
        failed += end->ExitCodeExists && end->ExitCode != 0 ? 1 : 0;
    } else if (const auto* lost = As<records::TMonitorEventStepFailedPacket>(event)) {
        busy[lost->WorkerID] = false;
        ++done;
        ++failed;
    } else if (const auto* sample = As<records::TMonitorEventAddGraphSamplePacket>(event)) {
        if (sample->RowID == GraphTasksRow && sample->SamplePacket.Values.size() >= 2) {
            waiting = static_cast<std::int32_t>(sample->SamplePacket.Values[1]);
        }
    } else {
        return false;
    }
    const std::string text = Text();
    const bool changed = text != lastText;
    lastText = text;
    return changed;
}

std::string TStatusLine::Text() const {
    if (rows <= 0 && done == 0) {
        return {};
    }
    std::int32_t running = 0;
    for (const auto& [worker, runs] : busy) {
        running += runs ? 1 : 0;
    }
    const std::int32_t known = done + running + waiting;
    std::string text = "[" + std::to_string(done) + "/" + std::to_string(known) + "] running " +
                       std::to_string(running) + ", waiting " + std::to_string(waiting) +
                       ", rows " + std::to_string(running) + "/" + std::to_string(rows) + " busy";
    if (failed > 0) {
        text += ", failed " + std::to_string(failed);
    }
    return text;
}

std::string TStatusLine::Draw(const std::string& text) {
    return "\r" + text + "\x1b[K";
}

std::string TStatusLine::Clear() {
    return "\r\x1b[K";
}

} // namespace console
