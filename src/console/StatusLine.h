#pragma once
// The status line a console keeps under a build's output on a terminal, as ninja
// does: tasks done of known, running, waiting, busy rows, failed. The model follows
// the monitor events; the console clears the line before each output line and draws
// it again after, and clears it at the end.
#include "packets/Packet.h"

#include <cstdint>
#include <map>
#include <string>

namespace console {

class TStatusLine {
public:
    // Takes what the event tells; true when the line's text changed.
    bool Observe(const packets::TPacket& event);
    // "[12/40] running 2, waiting 3, rows 2/4 busy, failed 1"; empty before the
    // first task or row.
    std::string Text() const;

    // Terminal sequences: the line drawn in place, and the line cleared.
    static std::string Draw(const std::string& text);
    static std::string Clear();

private:
    std::int32_t rows = 0;
    std::int32_t done = 0;
    std::int32_t failed = 0;
    std::int32_t waiting = 0;
    std::map<std::string, bool> busy; // worker -> runs a task
    std::string lastText;
};

} // namespace console
