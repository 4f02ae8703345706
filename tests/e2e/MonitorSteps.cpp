#include "MonitorSteps.h"

#include "monitor/MonitorFile.h"
#include "packets/PacketStream.h"
#include "records/MonitorEvents.h"

#include <gtest/gtest.h>

#include <map>

namespace e2e {

namespace {

template <typename T> const T* As(const std::unique_ptr<packets::TPacket>& packet) {
    return dynamic_cast<const T*>(packet.get());
}

} // namespace

TEvents MonitorFileEvents(const std::string& file) {
    records::TMetaBuildPacket meta;
    const auto stream = monitor::OpenMonitorFileForEvents(file, meta);
    TEvents events;
    EXPECT_NE(stream, nullptr) << file;
    if (!stream) {
        return events;
    }
    packets::TPacketLoadContext context;
    while (stream->Position() < stream->Size()) {
        events.push_back(packets::TPacket::CreateFromStream(*stream, &context));
    }
    return events;
}

TStepCheck CheckSteps(const TEvents& events, bool helperRows) {
    TStepCheck check;
    std::map<std::string, std::int32_t> running; // worker -> task
    std::set<std::string> employed;
    for (const auto& event : events) {
        if (const auto* employ = As<records::TMonitorEventEmployPacket>(event)) {
            EXPECT_TRUE(employed.insert(employ->ID).second);
            EXPECT_TRUE(employ->Local || helperRows);
            EXPECT_FALSE(employ->StaticInfo.Host.empty());
        } else if (const auto* begin = As<records::TMonitorEventBeginStepPacket>(event)) {
            EXPECT_TRUE(employed.count(begin->WorkerID)) << begin->WorkerID;
            EXPECT_FALSE(running.count(begin->WorkerID)) << begin->WorkerID << " runs two tasks";
            running[begin->WorkerID] = begin->TaskID;
            EXPECT_TRUE(check.TaskIDs.insert(begin->TaskID).second);
            ++check.Begins;
        } else if (const auto* end = As<records::TMonitorEventEndStepPacket>(event)) {
            EXPECT_EQ(running.erase(end->WorkerID), 1u) << "end without begin";
            ++check.Ends;
            check.NonZeroExits += end->ExitCode != 0 ? 1 : 0;
        } else if (const auto* failed = As<records::TMonitorEventStepFailedPacket>(event)) {
            EXPECT_EQ(running.erase(failed->WorkerID), 1u) << "failure without begin";
            ++check.Failed;
        } else if (const auto* unemploy = As<records::TMonitorEventUnemployPacket>(event)) {
            EXPECT_FALSE(running.count(unemploy->ID));
            EXPECT_EQ(employed.erase(unemploy->ID), 1u);
        }
    }
    EXPECT_TRUE(running.empty());
    EXPECT_TRUE(employed.empty()) << "rows left employed";
    return check;
}

} // namespace e2e
