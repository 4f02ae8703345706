#include "console/StatusLine.h"

#include "records/MonitorEvents.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

using console::TStatusLine;

std::unique_ptr<records::TMonitorEventEmployPacket> Employ(const std::string& id) {
    auto e = std::make_unique<records::TMonitorEventEmployPacket>();
    e->ID = id;
    return e;
}
std::unique_ptr<records::TMonitorEventBeginStepPacket> Begin(const std::string& worker) {
    auto e = std::make_unique<records::TMonitorEventBeginStepPacket>();
    e->WorkerID = worker;
    return e;
}
std::unique_ptr<records::TMonitorEventEndStepPacket> End(const std::string& worker, int exitCode) {
    auto e = std::make_unique<records::TMonitorEventEndStepPacket>();
    e->WorkerID = worker;
    e->ExitCodeExists = true;
    e->ExitCode = exitCode;
    return e;
}

TEST(StatusLine, FollowsRowsAndTasks) {
    TStatusLine status;
    EXPECT_EQ(status.Text(), "");
    EXPECT_TRUE(status.Observe(*Employ("a")));
    EXPECT_TRUE(status.Observe(*Employ("b")));
    EXPECT_EQ(status.Text(), "[0/0] running 0, waiting 0, rows 0/2 busy");
    EXPECT_TRUE(status.Observe(*Begin("a")));
    EXPECT_TRUE(status.Observe(*Begin("b")));
    records::TMonitorEventAddGraphSamplePacket sample;
    sample.RowID = "graph-tasks";
    sample.SamplePacket.Values = {2, 5};
    EXPECT_TRUE(status.Observe(sample));
    EXPECT_EQ(status.Text(), "[0/7] running 2, waiting 5, rows 2/2 busy");
    EXPECT_TRUE(status.Observe(*End("a", 1)));
    records::TMonitorEventStepFailedPacket lost;
    lost.WorkerID = "b";
    EXPECT_TRUE(status.Observe(lost));
    EXPECT_EQ(status.Text(), "[2/7] running 0, waiting 5, rows 0/2 busy, failed 2");
    EXPECT_TRUE(status.Observe(*Begin("a"))); // a waiting task started
    EXPECT_TRUE(status.Observe(*End("a", 0)));
    EXPECT_EQ(status.Text(), "[3/7] running 0, waiting 4, rows 0/2 busy, failed 2");
    // Other events change nothing.
    records::TMonitorEventOutputPacket output;
    output.Text = "x";
    EXPECT_FALSE(status.Observe(output));
    records::TMonitorEventUnemployPacket unemploy;
    unemploy.ID = "a";
    EXPECT_TRUE(status.Observe(unemploy));
    EXPECT_EQ(status.Text(), "[3/7] running 0, waiting 4, rows 0/1 busy, failed 2");
}

TEST(StatusLine, DrawnInPlaceAndCleared) {
    EXPECT_EQ(TStatusLine::Draw("[1/2]"), "\r[1/2]\x1b[K");
    EXPECT_EQ(TStatusLine::Clear(), "\r\x1b[K");
}

} // namespace
