#include "buildsys/OutputEvent.h"

#include "records/MonitorEvents.h"

namespace buildsys {

void AddOutputEvent(const std::function<void(const packets::TPacket&)>& add, std::int32_t ms,
                    const TOutputText& text, std::int32_t taskID) {
    records::TMonitorEventOutputPacket event;
    event.ms = ms;
    (text.Stream == TOutputStream::Out ? event.Text : event.ErrText) = text.Text;
    event.TaskID = taskID;
    event.ErrorCount = text.Errors;
    event.WarningCount = text.Warnings;
    add(event);
}

} // namespace buildsys
