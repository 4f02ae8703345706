#include "launcher/OutputForwarder.h"

#include "core/TaskProtocol.h"
#include "platform/LocalSocket.h"

namespace launcher {

bool TOutputForwarder::Send(int stream, std::string_view bytes) {
    if (broken || !streams.Takes(stream)) {
        return false;
    }
    core::TTaskOutput output;
    output.stream = stream;
    output.bytes.assign(bytes);
    try {
        // A frame cut short by a failed send is dropped whole by the build, so the
        // caller may write the same bytes itself.
        broken = !socket.SendAll(core::EncodeTaskFrame(output));
    } catch (const core::ETaskProtocolError&) {
        broken = true; // more than a frame holds: from here on the caller writes it all
    }
    return !broken;
}

} // namespace launcher
